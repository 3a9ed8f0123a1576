#include "platform/thread.h"

#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <new>
#include <system_error>

namespace platform {
namespace {

// An exception leaving the body ends the process, as with std::thread.
void* runBody(void* argument) noexcept {
  const std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(argument));
  (*body)();
  return nullptr;
}

}  // namespace

int startDetached(std::function<void()> body, std::size_t stackBytes) {
  auto owned = std::unique_ptr<std::function<void()>>(new (std::nothrow)
                                                          std::function<void()>(std::move(body)));
  if (!owned) return ENOMEM;
  pthread_attr_t attributes;
  if (const int error = ::pthread_attr_init(&attributes); error != 0) return error;
  int error = ::pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  if (error == 0 && stackBytes != 0) error = ::pthread_attr_setstacksize(&attributes, stackBytes);
  pthread_t thread;
  if (error == 0) error = ::pthread_create(&thread, &attributes, runBody, owned.get());
  ::pthread_attr_destroy(&attributes);
  if (error != 0) return error;
  owned.release();  // the thread's now
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
