#include "platform/console.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <string>
#include <vector>

#include "common/utf8.h"
#include "platform/wait.h"

namespace platform {

void writeLine(std::string_view text) {
  static std::mutex lock;
  std::string line(text);
  line += '\n';
  std::lock_guard guard(lock);
  std::size_t done = 0;
  while (done < line.size()) {
    const ssize_t n = ::write(STDOUT_FILENO, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // output gone (closed pipe): nothing to report it to
    done += std::size_t(n);
  }
}

void writeUntrustedLine(std::string_view text) {
  writeLine(common::cleanUtf8(text));
}

std::shared_ptr<Console> Console::open(int inputFd, bool takeHangup) {
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  if (takeHangup) sigaddset(&stopSignals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  UniqueFd signals(::signalfd(-1, &stopSignals, SFD_CLOEXEC | SFD_NONBLOCK));
  return std::shared_ptr<Console>(new Console(inputFd, std::move(signals)));
}

Console::Console(int inputFd, UniqueFd signals) : inputFd_(inputFd), signals_(std::move(signals)) {}

Console::Input Console::read() {
  for (;;) {
    std::vector<WaitItem> items{WaitItem::event(wake_)};
    if (signals_.valid()) items.push_back(WaitItem::readable(signals_.get()));
    const std::size_t inputIndex = items.size();
    if (!inputEnded_) items.push_back(WaitItem::readable(inputFd_));

    const WaitResult ready = waitAny(items, -1);
    if (ready.status != WaitStatus::Signalled) return {true, 0};
    if (ready.index < inputIndex) {
      if (ready.index == 1) {
        signalfd_siginfo info;
        const ssize_t n = ::read(signals_.get(), &info, sizeof info);
        if (n != ssize_t(sizeof info)) continue;  // taken already
        if (info.ssi_signo == SIGHUP) {
          reload_.set();
          continue;
        }
      }
      return {true, 0};
    }
    char c = 0;
    const ssize_t n = ::read(inputFd_, &c, 1);
    if (n == 1) return {false, c};
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    inputEnded_ = true;  // end of input or a broken terminal: wait for a signal only
  }
}

}  // namespace platform
