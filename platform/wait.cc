#include "platform/wait.h"

#include <poll.h>

#include <cerrno>
#include <vector>

#include "platform/clock.h"
#include "platform/event.h"

namespace platform {

WaitResult waitAny(std::span<const WaitItem> items, int timeoutMs) {
  std::vector<pollfd> fds(items.size());
  for (std::size_t i = 0; i < items.size(); ++i) {
    const WaitItem& item = items[i];
    int fd = item.fd;
    short events = POLLIN;
    if (item.kind == WaitItem::Kind::EventItem) {
      if (item.ev == nullptr || !item.ev->valid()) return {WaitStatus::Failed, 0, EBADF};
      fd = item.ev->fd();
    } else if (item.kind == WaitItem::Kind::Writable) {
      events = POLLOUT;
    }
    if (fd < 0) return {WaitStatus::Failed, 0, EBADF};
    fds[i] = pollfd{fd, events, 0};
  }

  const std::int64_t deadline = timeoutMs < 0 ? -1 : monotonicMs() + timeoutMs;
  for (;;) {
    int wait = -1;
    if (deadline >= 0) {
      const std::int64_t left = deadline - monotonicMs();
      wait = left > 0 ? int(left) : 0;
    }
    const int n = ::poll(fds.data(), fds.size(), wait);
    if (n < 0) {
      if (errno == EINTR) continue;
      return {WaitStatus::Failed, 0, errno};
    }
    for (std::size_t i = 0; n > 0 && i < fds.size(); ++i) {
      const short ready = fds[i].revents;
      if (ready == 0) continue;
      if (ready & POLLNVAL) return {WaitStatus::Failed, i, EBADF};
      const WaitItem& item = items[i];
      // Another waiter may take an auto-reset event between poll and read;
      // then this wait goes on.
      if (item.kind == WaitItem::Kind::EventItem && !item.ev->tryConsume()) continue;
      return {WaitStatus::Signalled, i, 0};
    }
    if (deadline >= 0 && monotonicMs() >= deadline) return {WaitStatus::Timeout, 0, 0};
  }
}

}  // namespace platform
