#include "platform/event.h"

#include <poll.h>
#include <sys/eventfd.h>

#include <cstdint>

#include "platform/wait.h"

namespace platform {

Event::Event(Reset reset, bool initiallySet)
    : fd_(::eventfd(initiallySet ? 1 : 0, EFD_NONBLOCK | EFD_CLOEXEC)), reset_(reset) {}

void Event::set() {
  if (!valid()) return;
  const std::uint64_t one = 1;
  // The counter only has to be non-zero; a full counter is still "set".
  [[maybe_unused]] ssize_t n = ::write(fd_.get(), &one, sizeof one);
}

void Event::reset() {
  if (!valid()) return;
  std::uint64_t value;
  [[maybe_unused]] ssize_t n = ::read(fd_.get(), &value, sizeof value);
}

bool Event::tryConsume() {
  if (!valid()) return false;
  if (reset_ == Reset::Auto) {
    // Reading an eventfd takes the whole counter, so concurrent waiters
    // race for it and exactly one wins.
    std::uint64_t value;
    return ::read(fd_.get(), &value, sizeof value) == sizeof value;
  }
  pollfd p{fd_.get(), POLLIN, 0};
  return ::poll(&p, 1, 0) == 1 && (p.revents & POLLIN);
}

bool Event::wait(int timeoutMs) {
  const WaitItem items[] = {WaitItem::event(*this)};
  return waitAny(items, timeoutMs).status == WaitStatus::Signalled;
}

}  // namespace platform
