#include "platform/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "platform/clock.h"
#include "platform/event.h"
#include "platform/net_init.h"
#include "platform/unique_fd.h"

extern char** environ;

namespace platform {
namespace {

bool makePipe(UniqueFd& readEnd, UniqueFd& writeEnd) {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return false;
  readEnd.reset(ends[0]);
  writeEnd.reset(ends[1]);
  return true;
}

void setNonBlocking(int fd) {
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

pid_t spawn(const std::string& program, const std::vector<std::string>& arguments,
            const std::string& workingFolder, int input, int output) {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  if (::posix_spawn_file_actions_init(&actions) != 0) return -1;
  if (::posix_spawnattr_init(&attributes) != 0) {
    ::posix_spawn_file_actions_destroy(&actions);
    return -1;
  }
  ::posix_spawn_file_actions_adddup2(&actions, input, 0);
  ::posix_spawn_file_actions_adddup2(&actions, output, 1);
  ::posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  if (!workingFolder.empty()) {
    ::posix_spawn_file_actions_addchdir_np(&actions, workingFolder.c_str());
  }
  sigset_t none;
  sigset_t defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int signal : {SIGPIPE, SIGINT, SIGTERM, SIGHUP}) sigaddset(&defaults, signal);
  ::posix_spawnattr_setsigmask(&attributes, &none);
  ::posix_spawnattr_setsigdefault(&attributes, &defaults);
  ::posix_spawnattr_setpgroup(&attributes, 0);
  ::posix_spawnattr_setflags(
      &attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);

  std::vector<std::string> texts{program};
  texts.insert(texts.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& text : texts) argv.push_back(text.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int error =
      ::posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), environ);
  ::posix_spawnattr_destroy(&attributes);
  ::posix_spawn_file_actions_destroy(&actions);
  return error == 0 ? pid : -1;
}

bool reaped(pid_t pid) {
  int status;
  for (;;) {
    const pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid || (r < 0 && errno != EINTR)) return true;
    if (r == 0) return false;
  }
}

void killAndReap(pid_t pid) {
  ::kill(-pid, SIGKILL);
  ::kill(pid, SIGKILL);
  int status;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace

ChildResult runFilter(const std::string& program, const std::string& workingFolder,
                      std::string_view input, int timeoutMs, Event* stop) {
  return runFilter(program, {}, workingFolder, input, timeoutMs, stop);
}

ChildResult runFilter(const std::string& program, const std::vector<std::string>& arguments,
                      const std::string& workingFolder, std::string_view input, int timeoutMs,
                      Event* stop) {
  // A child that stops reading its input must make the write fail (EPIPE),
  // not kill this process with SIGPIPE: also before any socket exists, as
  // at the web server's start-up.
  ensureWinsock();
  ChildResult result;
  UniqueFd inRead, inWrite, outRead, outWrite;
  if (!makePipe(inRead, inWrite) || !makePipe(outRead, outWrite)) return result;
  const pid_t pid = spawn(program, arguments, workingFolder, inRead.get(), outWrite.get());
  inRead.reset();
  outWrite.reset();
  if (pid < 0) return result;

  setNonBlocking(inWrite.get());
  setNonBlocking(outRead.get());
  // The child's exit as a readable fd; without it, a short poll after the
  // output has closed.
  UniqueFd exitFd(int(::syscall(SYS_pidfd_open, pid, 0)));
  const std::int64_t deadline = monotonicMs() + timeoutMs;
  std::size_t written = 0;
  if (input.empty()) inWrite.reset();
  bool exited = false;
  result.outcome = ChildOutcome::Finished;

  while (!(exited && !outRead.valid())) {
    const std::int64_t left = deadline - monotonicMs();
    if (left <= 0) {
      result.outcome = ChildOutcome::TimedOut;
      break;
    }
    pollfd fds[4];
    nfds_t count = 0;
    int stopAt = -1, readAt = -1, writeAt = -1, exitAt = -1;
    if (stop != nullptr) {
      stopAt = int(count);
      fds[count++] = {stop->fd(), POLLIN, 0};
    }
    if (outRead.valid()) {
      readAt = int(count);
      fds[count++] = {outRead.get(), POLLIN, 0};
    }
    if (inWrite.valid()) {
      writeAt = int(count);
      fds[count++] = {inWrite.get(), POLLOUT, 0};
    }
    int waitMs = int(left);
    if (!outRead.valid()) {
      if (exitFd.valid()) {
        exitAt = int(count);
        fds[count++] = {exitFd.get(), POLLIN, 0};
      } else if (waitMs > 10) {
        waitMs = 10;
      }
    }
    const int ready = ::poll(fds, count, waitMs);
    if (ready < 0 && errno != EINTR) {
      result.outcome = ChildOutcome::TimedOut;
      break;
    }
    if (stopAt >= 0 && fds[stopAt].revents != 0) {
      result.outcome = ChildOutcome::Stopped;
      break;
    }
    if (writeAt >= 0 && fds[writeAt].revents != 0) {
      const ssize_t n = ::write(inWrite.get(), input.data() + written, input.size() - written);
      if (n > 0) written += std::size_t(n);
      // Done, or the child stopped reading: either way it sees the end.
      if (written == input.size() || (n < 0 && errno != EAGAIN && errno != EINTR)) {
        inWrite.reset();
      }
    }
    if (readAt >= 0 && fds[readAt].revents != 0) {
      char chunk[65536];
      const ssize_t n = ::read(outRead.get(), chunk, sizeof chunk);
      if (n > 0) {
        result.output.append(chunk, std::size_t(n));
      } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        outRead.reset();
      }
    }
    if (!outRead.valid() && (exitAt < 0 || fds[exitAt].revents != 0 || !exitFd.valid())) {
      exited = reaped(pid);
    }
  }
  if (!exited) killAndReap(pid);
  return result;
}

}  // namespace platform
