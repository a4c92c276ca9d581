// The picture folder's index as it is read back: any bytes may be on disk
// after a crash or a stranger's edit. Reading stops after the last complete
// line; every id taken in is usable and found again, each once; no id is
// found that no complete line began with, nor one of a line with a name
// beyond its bound. Read in pieces of any size, as the file comes in
// chunks, the text gives the same ids. Every digest of a kept picture
// comes from a complete line whose key spells it (DigestKey), and every
// such line gives one. A picture's origin found in the text is an article
// line's usable id that names the picture, and its about fields hold no
// tab or line feed and stay within a file name's bound.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>

#include "base/filenames.h"
#include "fuzz_check.h"
#include "news/harvestindex.h"
#include "news/pictureorigin.h"

using namespace lumigrab;

using lumigrab_fuzz::Check;

namespace {

// Whether a name after the line's id is longer than a file's name can be.
bool HasNameBeyondBound(std::string_view line)
{
    size_t tab = line.find('\t');
    while (tab != std::string_view::npos) {
        const size_t next = line.find('\t', tab + 1);
        const size_t end = next == std::string_view::npos ? line.size() : next;
        if (end - tab - 1 > MaxFileNameBytes)
            return true;
        tab = next;
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const size_t pieceBytes = size_t(data[0]) + 1;
    const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
    TMessageIdSet ids;
    const size_t complete = ReadIndexText(text, ids);
    Check(complete <= text.size());
    Check(complete == 0 || text[complete - 1] == '\n');
    Check(text.substr(complete).find('\n') == std::string_view::npos);
    std::set<std::string_view> expected;
    std::set<std::string> digestKeys;
    std::string_view lines = text.substr(0, complete);
    while (!lines.empty()) {
        const size_t end = lines.find('\n');
        const std::string_view line = lines.substr(0, end);
        const std::string_view id = line.substr(0, line.find('\t'));
        const bool kept = IsUsableMessageId(id) && !HasNameBeyondBound(line);
        if (kept)
            expected.insert(id);
        const bool hex = id.size() == 71
            && id.substr(7).find_first_not_of("0123456789abcdef") == std::string_view::npos;
        if (id.starts_with("sha256 ") && hex && !HasNameBeyondBound(line))
            digestKeys.emplace(id);
        lines.remove_prefix(end + 1);
    }
    for (const std::string_view id : expected)
        Check(ids.Contains(id));
    Check(ids.Count() == expected.size());
    const std::string_view rest = text.substr(complete);
    if (!expected.contains(rest))
        Check(!ids.Contains(rest));

    TMessageIdSet inPieces;
    std::set<TSha256Digest> digests;
    TIndexReader reader(inPieces, &digests);
    for (size_t start = 0; start < text.size(); start += pieceBytes)
        reader.Read(text.substr(start, std::min(pieceBytes, text.size() - start)));
    Check(reader.CompleteLength() == complete);
    Check(inPieces.Count() == ids.Count());
    for (const std::string_view id : expected)
        Check(inPieces.Contains(id));
    Check(digests.size() == digestKeys.size());
    for (const TSha256Digest& digest : digests)
        Check(digestKeys.contains(DigestKey(digest)));

    // The first name of the first line, else one that may be anywhere.
    const std::string_view firstLine = text.substr(0, text.find('\n'));
    const size_t tab = firstLine.find('\t');
    const std::string name(tab == std::string_view::npos ? "a.jpg" : firstLine.substr(tab + 1, firstLine.find('\t', tab + 1) - tab - 1));
    if (const std::optional<TPictureOrigin> origin = FindPictureOriginInText(text, name)) {
        Check(IsUsableMessageId(origin->messageId));
        Check(text.substr(0, complete).find(origin->messageId + "\t") != std::string_view::npos);
        for (const std::string* field : { &origin->about.group, &origin->about.subject, &origin->about.poster,
                 &origin->about.date }) {
            Check(field->find_first_of("\t\n") == std::string::npos);
            Check(field->size() <= MaxFileNameBytes + 8 + MaxMessageIdBytes);
        }
    }
    return 0;
}
