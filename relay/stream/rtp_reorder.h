// RTP datagrams put back in sequence order within a small window, for
// sources reached through bonded links, Wi-Fi bridges and access networks
// that deliver out of order or twice.
//
// A datagram that comes in order while nothing is held goes on at once,
// uncopied. One that comes early is copied and held until the ones before
// it came; a second copy of one held or already passed is dropped. A gap
// is given up (its datagrams counted lost, what is held after it passed on)
// when an arrival would lie a whole window ahead, or when a datagram after
// it has been held kMostHoldMs. One that comes after its gap was given up
// is dropped (it was counted lost). An arrival far from where the sequence
// stands (kMostJump or more ahead, or behind by more than kMostLate or the
// window, whichever is more) is a sender that started afresh: what is held
// goes on, and the sequence goes on from the new one.
//
// Pure: the caller says when each datagram came and when it is now; the
// receiving thread calls expire() by the deadline it returns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace relay {

class RtpReorder {
 public:
  static constexpr std::int64_t kMostHoldMs = 50;
  static constexpr std::uint32_t kMostWindow = 1024;
  static constexpr int kMostJump = 3000;
  static constexpr int kMostLate = 128;
  static constexpr std::int64_t kNoDeadline = std::numeric_limits<std::int64_t>::max();

  struct Counts {
    std::uint64_t reordered = 0;   // came after one with a later sequence number
    std::uint64_t duplicates = 0;  // dropped: a copy of one held or passed on
    std::uint64_t lost = 0;        // given up: never came in time
  };

  // Where the datagrams go, in sequence order.
  class Sink {
   public:
    virtual void datagram(const unsigned char* bytes, std::size_t size) = 0;

   protected:
    ~Sink() = default;
  };

  // `window`: datagrams held at most, 1 to kMostWindow.
  explicit RtpReorder(std::uint32_t window);

  // One datagram with RTP sequence number `sequence`, come at `nowMs`.
  void push(std::uint16_t sequence, const unsigned char* bytes, std::size_t size,
            std::int64_t nowMs, Sink& out) {
    if (held_ == 0 && started_ && sequence == next_) {
      passed(sequence);
      out.datagram(bytes, size);
      return;
    }
    arrive(sequence, bytes, size, nowMs, out);
  }
  // Passes on what has been held kMostHoldMs by `nowMs` (with everything
  // before it) and says when to call again: kNoDeadline while nothing is held.
  std::int64_t expire(std::int64_t nowMs, Sink& out);
  bool holding() const { return held_ != 0; }
  const Counts& counts() const { return counts_; }

 private:
  enum class State : std::uint8_t { Empty, Passed, Skipped, Held };
  struct Record {
    std::uint16_t sequence = 0;
    State state = State::Empty;
  };
  struct Held {
    std::vector<unsigned char> bytes;
    std::int64_t cameMs = 0;
  };

  void passed(std::uint16_t sequence) {
    records_[sequence & recordMask_] = Record{sequence, State::Passed};
    next_ = std::uint16_t(sequence + 1);
  }
  void arrive(std::uint16_t sequence, const unsigned char* bytes, std::size_t size,
              std::int64_t nowMs, Sink& out);
  // The datagram at next_ goes on if held, else is counted lost.
  void step(Sink& out);
  // Held datagrams from next_ on go on while there is no gap.
  void flush(Sink& out);
  // Everything held goes on, gaps counted lost.
  void flushAll(Sink& out);

  std::uint32_t window_;
  int lateSpan_;  // how far behind an arrival is late, not a new start
  // Records cover the late span behind next_ and the window ahead; held
  // copies the window ahead.
  std::uint16_t recordMask_;
  std::uint16_t heldMask_;
  bool started_ = false;
  std::uint16_t next_ = 0;    // the sequence number that goes on next
  std::uint16_t newest_ = 0;  // the highest one taken, while holding
  std::uint32_t held_ = 0;
  std::vector<Record> records_;
  std::vector<Held> heldData_;
  Counts counts_;
};

}  // namespace relay
