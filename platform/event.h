// A signalling object over an eventfd, with the two reset behaviours the
// programs are built around:
//  - Manual: once set, every wait sees it until reset() is called.
//  - Auto: a set wakes exactly one waiter, which consumes it; setting an
//    already set auto event does not queue a second wake-up.
// Creation can fail (fd exhaustion): valid() tells, and waiting on an invalid
// event reports a failure instead of blocking forever.
#pragma once

#include "platform/unique_fd.h"

namespace platform {

class Event {
 public:
  enum class Reset { Manual, Auto };

  explicit Event(Reset reset, bool initiallySet = false);

  bool valid() const { return fd_.valid(); }
  Reset resetMode() const { return reset_; }
  int fd() const { return fd_.get(); }

  void set();
  void reset();
  // Manual: whether it is set now. Auto: takes the signal if it is there.
  bool tryConsume();
  // Waits until signalled (and consumed, for auto). timeoutMs < 0 waits
  // without limit. False on time-out or failure.
  bool wait(int timeoutMs = -1);

 private:
  UniqueFd fd_;
  Reset reset_;
};

}  // namespace platform
