#include "relay/stream/rtp_reorder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace relay {
namespace {

// A datagram pushed (`expire` false) or the clock looked at, and the
// sequence numbers of the datagrams that must come out of that step.
struct Step {
  int sequence;
  std::int64_t ms;
  std::vector<int> out;
  bool expire = false;
};
Step at(int sequence, std::int64_t ms, std::vector<int> out) {
  return Step{sequence, ms, std::move(out)};
}
Step expireAt(std::int64_t ms, std::vector<int> out) {
  return Step{0, ms, std::move(out), true};
}

struct Case {
  std::string name;
  std::uint32_t window;
  std::vector<Step> steps;
  RtpReorder::Counts counts;
  std::int64_t deadline = RtpReorder::kNoDeadline;  // after the last step
};

// Each datagram carries its sequence number in bytes of its own, and its
// length varies, so the copy held is checked as well as the order.
struct Collect final : RtpReorder::Sink {
  void datagram(const unsigned char* bytes, std::size_t size) override {
    const int sequence = bytes[0] << 8 | bytes[1];
    EXPECT_EQ(size, std::size_t(2 + sequence % 5)) << sequence;
    got.push_back(sequence);
  }
  std::vector<int> got;
};

TEST(RtpReorder, PutsDatagramsBackInOrder) {
  const std::vector<Case> cases = {
      {"in order: each goes on at once", 4, {at(7, 0, {7}), at(8, 1, {8}), at(9, 2, {9})}, {}},
      {"swapped neighbours",
       4,
       {at(1, 0, {1}), at(3, 1, {}), at(2, 2, {2, 3}), at(5, 3, {}), at(4, 4, {4, 5})},
       {2, 0, 0}},
      {"copies of one passed on and of one held are dropped",
       4,
       {at(1, 0, {1}), at(2, 1, {2}), at(2, 2, {}), at(4, 3, {}), at(4, 4, {}), at(1, 5, {}),
        at(3, 6, {3, 4})},
       {1, 3, 0}},
      {"a gap waits until an arrival lies a window ahead",
       4,
       {at(1, 0, {1}), at(3, 1, {}), at(4, 2, {}), at(5, 3, {}), at(6, 4, {3, 4, 5, 6}),
        at(2, 5, {})},
       {0, 0, 1}},
      {"a gap is given up once a datagram after it was held 50 ms",
       32,
       {at(1, 0, {1}), at(3, 10, {}), at(5, 40, {}), expireAt(59, {}), expireAt(60, {3}),
        expireAt(89, {}), expireAt(90, {5}), at(6, 91, {6})},
       {0, 0, 2}},
      {"what is still held says when to look again",
       32,
       {at(1, 0, {1}), at(4, 10, {}), at(3, 20, {}), expireAt(30, {})},
       {1, 0, 0},
       60},
      {"the sequence wraps at 65535",
       8,
       {at(65534, 0, {65534}), at(0, 1, {}), at(65535, 2, {65535, 0}), at(1, 3, {1})},
       {1, 0, 0}},
      {"a jump within reach counts what it skipped as lost, the last window awaited",
       4,
       {at(1, 0, {1}), at(1001, 1, {}), at(1002, 2, {}), expireAt(51, {1001, 1002})},
       {0, 0, 999}},
      {"a sender started afresh far ahead: what is held goes on first",
       8,
       {at(100, 0, {100}), at(102, 1, {}), at(40000, 2, {102, 40000}), at(40001, 3, {40001})},
       {0, 0, 1}},
      {"a sender started afresh behind",
       8,
       {at(5000, 0, {5000}), at(5001, 1, {5001}), at(10, 2, {10}), at(11, 3, {11}),
        at(5002, 4, {5002})},
       {}},
      {"a window of one gives a gap up at the next arrival",
       1,
       {at(1, 0, {1}), at(3, 1, {3}), at(2, 2, {}), at(4, 3, {4})},
       {0, 0, 1}},
  };
  for (const Case& c : cases) {
    RtpReorder reorder(c.window);
    Collect out;
    std::int64_t deadline = RtpReorder::kNoDeadline;
    for (std::size_t i = 0; i < c.steps.size(); ++i) {
      const Step& step = c.steps[i];
      out.got.clear();
      if (step.expire) {
        deadline = reorder.expire(step.ms, out);
      } else {
        std::vector<unsigned char> datagram(std::size_t(2 + step.sequence % 5), 0);
        datagram[0] = (unsigned char)(step.sequence >> 8);
        datagram[1] = (unsigned char)step.sequence;
        reorder.push(std::uint16_t(step.sequence), datagram.data(), datagram.size(), step.ms, out);
      }
      EXPECT_EQ(out.got, step.out) << c.name << ", step " << i;
    }
    EXPECT_EQ(deadline, c.deadline) << c.name;
    EXPECT_EQ(reorder.counts().reordered, c.counts.reordered) << c.name;
    EXPECT_EQ(reorder.counts().duplicates, c.counts.duplicates) << c.name;
    EXPECT_EQ(reorder.counts().lost, c.counts.lost) << c.name;
  }
}

}  // namespace
}  // namespace relay
