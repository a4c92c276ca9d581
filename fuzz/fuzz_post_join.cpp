// Strangers' articles as the parts of one multi-part post: the input, cut
// at zero bytes into up to eight parts, is joined into a partial file. The
// joiner either refuses the post with its own error or joins it; the file
// never grows beyond the size allowed, and it is gone once the joiner is.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

#include "fuzz_check.h"
#include "news/postjoin.h"

using namespace lumigrab;

using lumigrab_fuzz::Check;

namespace {

constexpr uint64_t MaxSize = 1 << 20;

const std::string& PartialPath()
{
    static const std::string path = (std::filesystem::temp_directory_path()
        / ("fuzz-post-join-" + std::to_string(::getpid()) + ".part"))
                                        .string();
    return path;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string_view input(reinterpret_cast<const char*>(data), size);
    {
        TPostJoiner joiner(PartialPath(), MaxSize);
        try {
            for (int part = 1; part <= 8 && !input.empty(); ++part) {
                const size_t end = std::min(input.find('\0'), input.size());
                joiner.AddPart(part, input.substr(0, end));
                input.remove_prefix(std::min(end + 1, input.size()));
            }
            joiner.Finish();
            std::error_code error;
            Check(std::filesystem::file_size(PartialPath(), error) <= MaxSize);
        } catch (const EPostJoinError&) {
        }
    }
    Check(!std::filesystem::exists(PartialPath()));
    return 0;
}
