// Waiting for the first of several things: events and socket readiness,
// with a time-out. The lowest-index ready item wins, as with the wait calls
// the programs were designed around.
#pragma once

#include <cstddef>
#include <span>

namespace platform {

class Event;

struct WaitItem {
  enum class Kind { EventItem, Readable, Writable };

  static WaitItem event(Event& e) { return WaitItem{Kind::EventItem, -1, &e}; }
  static WaitItem readable(int fd) { return WaitItem{Kind::Readable, fd, nullptr}; }
  static WaitItem writable(int fd) { return WaitItem{Kind::Writable, fd, nullptr}; }

  Kind kind;
  int fd;
  Event* ev;
};

enum class WaitStatus { Signalled, Timeout, Failed };

struct WaitResult {
  WaitStatus status;
  std::size_t index;  // the item that ended the wait, when Signalled
  int error;          // errno, when Failed
};

// timeoutMs < 0 waits without limit. An auto-reset event is consumed by the
// wait that returns it. A socket that has failed or hung up counts as ready,
// so the caller's next receive or send reports what happened.
WaitResult waitAny(std::span<const WaitItem> items, int timeoutMs);

}  // namespace platform
