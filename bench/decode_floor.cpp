// The I/O floor under lumigrab-decode, as a whole process: started the
// same way (the same libraries to load), it reads the article file into
// memory as the decoder does and writes as many bytes as the picture has
// into a new file, through the same writer, but decodes nothing.
//
//     decode_floor ARTICLE_FILE FOLDER NAME SIZE
//
// The file holds the article's first SIZE bytes, so SIZE must not exceed
// the article's size. bench/decode_vs_tools.sh measures lumigrab-decode
// against it.
#include <charconv>
#include <cstdio>
#include <string>
#include <string_view>

#include "base/classes.h"
#include "base/filenames.h"

int main(int argc, char** argv)
{
    using namespace lumigrab;
    if (argc != 5) {
        std::fprintf(stderr, "usage: decode_floor ARTICLE_FILE FOLDER NAME SIZE\n");
        return 2;
    }
    const std::string_view sizeText = argv[4];
    size_t size = 0;
    if (std::from_chars(sizeText.data(), sizeText.data() + sizeText.size(), size).ec != std::errc()) {
        std::fprintf(stderr, "decode_floor: bad size %s\n", argv[4]);
        return 2;
    }
    try {
        TFileStream source(argv[1], TFileStream::Mode::OpenRead);
        TMemoryStream text;
        text.LoadFromStream(source);
        if (size > text.View().size()) {
            std::fprintf(stderr, "decode_floor: the article is shorter than %zu bytes\n", size);
            return 1;
        }
        SaveNewFile(argv[2], argv[3], text.View().substr(0, size));
    } catch (const Exception& e) {
        std::fprintf(stderr, "decode_floor: %s\n", e.Message().c_str());
        return 1;
    }
    return 0;
}
