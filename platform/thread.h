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

// How far a raised thread's nice value is below the process's.
inline constexpr int kRaisedNiceSteps = 5;

// Raises the calling thread a little above the process's other threads: its
// nice value kRaisedNiceSteps lower, or as far down as the process may go;
// does nothing when it may not lower it at all.
void raiseCurrentThreadPriority();

}  // namespace platform
