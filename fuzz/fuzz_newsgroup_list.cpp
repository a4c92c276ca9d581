// Loads arbitrary bytes as a newsgroup list, saves it and loads the saved
// text again: the same groups must come back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "news/msnwscls.h"

namespace {

bool SameGroups(const lumigrab::TmsNewsGroupList& a, const lumigrab::TmsNewsGroupList& b)
{
    if (a.Count() != b.Count())
        return false;
    for (int i = 0; i < a.Count(); ++i)
        if (!(a.Groups(i) == b.Groups(i)))
            return false;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    lumigrab::TMemoryStream input;
    input.WriteBuffer(data, size);
    lumigrab::TmsNewsGroupList loaded;
    loaded.LoadFromStream(input);

    lumigrab::TMemoryStream saved;
    loaded.SaveToStream(saved);
    lumigrab::TmsNewsGroupList reloaded;
    reloaded.LoadFromStream(saved);
    if (!SameGroups(loaded, reloaded))
        std::abort();
    return 0;
}
