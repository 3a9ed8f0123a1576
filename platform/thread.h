// Thread start. std::thread reports a failed start by throwing; these
// helpers turn that into an error value so one refused thread ends one
// connection or component, never the process.
#pragma once

#include <functional>
#include <thread>

namespace platform {

// Starts `body` on a detached thread. 0, or the errno-style failure.
int startDetached(std::function<void()> body);

// Starts `body` on a joinable thread held in `thread`. 0 or the failure.
int startJoinable(std::thread& thread, std::function<void()> body);

// Raises the calling thread to the highest priority the process may set
// (real-time round robin when permitted, else the best nice value it may
// take); does nothing when neither is allowed.
void raiseCurrentThreadPriority();

}  // namespace platform
