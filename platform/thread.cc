#include "platform/thread.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

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

void raiseCurrentThreadPriority() {
  sched_param param{};
  param.sched_priority = sched_get_priority_max(SCHED_RR);
  if (pthread_setschedparam(pthread_self(), SCHED_RR, &param) == 0) return;
  // Without real-time rights, lower the nice value as far as the limit allows.
  const pid_t tid = pid_t(::syscall(SYS_gettid));
  for (int nice = -20; nice < 0; ++nice) {
    if (::setpriority(PRIO_PROCESS, id_t(tid), nice) == 0) return;
  }
}

}  // namespace platform
