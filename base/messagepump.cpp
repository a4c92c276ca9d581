#include "base/messagepump.h"

#include <chrono>

namespace lumigrab {

namespace {

MessagePump& InstalledPump()
{
    static MessagePump pump;
    return pump;
}

// Per thread: decoders on several threads pump their own event loops.
thread_local std::chrono::steady_clock::time_point lastRun;
constexpr auto kPumpInterval = std::chrono::milliseconds(8);

} // namespace

void SetMessagePump(MessagePump pump)
{
    InstalledPump() = std::move(pump);
}

void ProcessMessages()
{
    if (InstalledPump()) {
        lastRun = std::chrono::steady_clock::now();
        InstalledPump()();
    }
}

void ProcessMessagesSometimes()
{
    if (!InstalledPump())
        return;
    const auto now = std::chrono::steady_clock::now();
    if (now - lastRun >= kPumpInterval)
        ProcessMessages();
}

} // namespace lumigrab
