#include "platform/thread.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

namespace platform {

int startDetached(std::function<void()> body) {
  std::thread thread;
  if (const int error = startJoinable(thread, std::move(body)); error != 0) return error;
  thread.detach();
  return 0;
}

int startJoinable(std::thread& thread, std::function<void()> body) {
  try {
    thread = std::thread(std::move(body));
    return 0;
  } catch (const std::system_error& e) {
    return e.code().value() != 0 ? e.code().value() : EAGAIN;
  }
}

// Receiving threads must drain their sockets before the receive buffers
// overflow while the clients' side may be slow: above normal, not above
// everything. A real-time policy would put every stream (a hundred of them
// with a hundred clients) ahead of the rest of the machine, the relay's own
// senders and the kernel's helpers included, and a busy one could starve
// them. Five nice steps give a thread about three times the processor share
// of a normal one when both want it, and the scheduler still lets everyone
// run. Counted from the process's own value, so that a relay started with a
// lower priority keeps it.
void raiseCurrentThreadPriority() {
  // Linux sets the nice value of one thread when given its thread id.
  const pid_t tid = pid_t(::syscall(SYS_gettid));
  errno = 0;
  const int current = ::getpriority(PRIO_PROCESS, id_t(tid));
  if (current == -1 && errno != 0) return;
  for (int nice = std::max(current - kRaisedNiceSteps, -20); nice < current; ++nice) {
    if (::setpriority(PRIO_PROCESS, id_t(tid), nice) == 0) return;
  }
}

}  // namespace platform
