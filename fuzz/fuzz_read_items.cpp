// Stored attachment lists from arbitrary bytes: only EStreamError may
// escape, and a failed read leaves the list as it was.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "message/msmsgcls.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    lumigrab::TMemoryStream stream;
    stream.Assign(std::string(reinterpret_cast<const char*>(data), size));
    lumigrab::TmsAttList list;
    list.Add(std::make_unique<lumigrab::TmsAttItem>());
    try {
        list.ReadItems(stream);
    } catch (const lumigrab::EStreamError&) {
        if (list.Count() != 1)
            std::abort();
        return 0;
    }
    // What was read must survive a write and read back unchanged.
    lumigrab::TMemoryStream copy;
    list.WriteItems(copy);
    copy.SetPosition(0);
    lumigrab::TmsAttList reread;
    reread.ReadItems(copy);
    if (reread.Count() != list.Count())
        std::abort();
    return 0;
}
