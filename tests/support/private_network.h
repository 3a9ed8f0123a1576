// For tests that run real sockets on port 1900, raw sockets or multicast:
// a network namespace of the test process's own, holding only loopback, so
// that nothing leaves the test. Also counts what a process holds, and waits
// (bounded) for such counts to settle.
#pragma once

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/unique_fd.h"

namespace testsupport {

// Moves the process into a new network namespace (as root, or in a user
// namespace of its own) with loopback up and multicast-capable; false when
// neither is allowed. Once per process.
inline bool enterPrivateLoopback() {
  static const bool entered = [] {
    if (::unshare(CLONE_NEWNET) != 0 && ::unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) return false;
    platform::UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    ifreq request{};
    std::strcpy(request.ifr_name, "lo");
    if (::ioctl(fd.get(), SIOCGIFFLAGS, &request) != 0) return false;
    request.ifr_flags = short(request.ifr_flags | IFF_UP | IFF_MULTICAST);
    return ::ioctl(fd.get(), SIOCSIFFLAGS, &request) == 0;
  }();
  return entered;
}

// Entries of a /proc folder: "/proc/self/fd" (open descriptors) or
// "/proc/self/task" (threads).
inline std::size_t entriesIn(const char* folder) {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder)) ++count;
  return count;
}

// Threads of the process. ThreadSanitizer starts a helper thread of its own
// with the first thread the process creates; one short-lived thread first
// puts it in every count, so that counts before and after compare alike.
// A joined thread may stay listed a moment: the first count waits (at most
// a second) until that one is gone.
inline std::size_t threadCount() {
  static const bool settled = [] {
    pid_t tid = 0;
    std::thread([&tid] { tid = ::gettid(); }).join();
    const std::string entry = "/proc/self/task/" + std::to_string(tid);
    for (int i = 0; i < 100 && std::filesystem::exists(entry); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
  }();
  static_cast<void>(settled);
  return entriesIn("/proc/self/task");
}

// Polls `done` every 10 ms for at most ten seconds; whether it came true.
// For what other threads bring about, not for how fast they are.
template <typename Done>
bool eventually(Done done) {
  for (int i = 0; i < 1000 && !done(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return done();
}

}  // namespace testsupport
