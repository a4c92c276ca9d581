// The picture folder's index as it is read back: any bytes may be on disk
// after a crash or a stranger's edit. Reading stops after the last complete
// line; every id taken in is usable and found again, each once; no id is
// found that no complete line began with.
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "news/harvestindex.h"

using namespace lumigrab;

using lumigrab_fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    TMessageIdSet ids;
    const size_t complete = ReadIndexText(text, ids);
    Check(complete <= text.size());
    Check(complete == 0 || text[complete - 1] == '\n');
    Check(text.substr(complete).find('\n') == std::string_view::npos);
    std::set<std::string_view> expected;
    std::string_view lines = text.substr(0, complete);
    while (!lines.empty()) {
        const size_t end = lines.find('\n');
        const std::string_view line = lines.substr(0, end);
        const std::string_view id = line.substr(0, line.find('\t'));
        Check(ids.Contains(id) == IsUsableMessageId(id));
        if (IsUsableMessageId(id))
            expected.insert(id);
        lines.remove_prefix(end + 1);
    }
    Check(ids.Count() == expected.size());
    const std::string_view rest = text.substr(complete);
    if (!expected.contains(rest))
        Check(!ids.Contains(rest));
    return 0;
}
