#include "transport/kttypes.h"

#include "transport/ktConst.h"

namespace lumigrab {

ECanceledError::ECanceledError()
    : Exception(LoadResString(SOperationCanceled))
{
}

ETimedOutError::ETimedOutError()
    : Exception(LoadResString(SOperationTimedOut))
{
}

} // namespace lumigrab
