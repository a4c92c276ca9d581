// The hook through which long-running work lets the user interface breathe.
//
// Codecs and parsers run on the user-interface thread. Where they may take
// long they call ProcessMessagesSometimes(), which runs the installed pump
// at most every few milliseconds, so the window stays responsive without
// slowing the work down. The desktop program installs a pump that runs its
// event loop; tools and tests leave the default, which does nothing.
#pragma once

#include <functional>

namespace lumigrab {

using MessagePump = std::function<void()>;

// Installs the pump (an empty function restores the no-op default).
void SetMessagePump(MessagePump pump);

// Runs the pump now.
void ProcessMessages();

// Runs the pump when the last run lies more than a few milliseconds back.
// Cheap enough to call per line or per paragraph.
void ProcessMessagesSometimes();

} // namespace lumigrab
