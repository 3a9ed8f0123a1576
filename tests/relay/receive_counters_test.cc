#include "relay/stream/receive_counters.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace relay {
namespace {

using Bytes = std::vector<unsigned char>;

enum Flags { Payload = 1, AdaptationOnly = 2, Discontinuity = 4 };

struct Packet {
  unsigned pid;
  unsigned counter;
  int flags = Payload;
};

enum class Carrier { Plain, Prefixed, Rtp };

struct Datagram {
  std::vector<Packet> packets;
  int sequence = 0;  // RTP only
};

Bytes datagramBytes(Carrier carrier, const Datagram& datagram) {
  Bytes out;
  if (carrier == Carrier::Rtp) {
    out = {0x80, 33, (unsigned char)(datagram.sequence >> 8), (unsigned char)datagram.sequence};
    out.resize(12, 0);
  }
  for (const Packet& p : datagram.packets) {
    // A prefix that starts like a packet.
    if (carrier == Carrier::Prefixed) out.insert(out.end(), {0x47, 0x01, 0x02, 0x03});
    const std::size_t start = out.size();
    out.resize(start + 188, 0xff);
    unsigned char* packet = out.data() + start;
    packet[0] = 0x47;
    packet[1] = (p.pid >> 8) & 0x1f;
    packet[2] = p.pid & 0xff;
    const unsigned control = (p.flags & AdaptationOnly) ? 2 : (p.flags & Discontinuity) ? 3 : 1;
    packet[3] = (unsigned char)(control << 4 | (p.counter & 0x0f));
    if (control != 1) {
      packet[4] = 1;
      packet[5] = (p.flags & Discontinuity) ? 0x80 : 0x00;
    }
  }
  return out;
}

struct Case {
  std::string name;
  Carrier carrier;
  std::vector<Datagram> datagrams;
  std::uint64_t ccErrors;
  std::uint64_t rtpGaps;
};

TEST(ContinuityCheck, CountsCounterErrorsAndSequenceGaps) {
  const std::vector<Case> cases = {
      {"in order, two PIDs",
       Carrier::Plain,
       {{{{256, 14}, {257, 3}, {256, 15}}}, {{{256, 0}, {257, 4}}}},
       0,
       0},
      {"a missing packet", Carrier::Plain, {{{{256, 1}, {256, 2}, {256, 4}}}}, 1, 0},
      {"first packet of each PID sets the counter",
       Carrier::Plain,
       {{{{256, 9}, {300, 2}, {256, 10}}}},
       0,
       0},
      {"one repeat allowed", Carrier::Plain, {{{{256, 1}, {256, 1}, {256, 2}}}}, 0, 0},
      {"a second repeat is an error", Carrier::Plain, {{{{256, 1}, {256, 1}, {256, 1}}}}, 1, 0},
      {"adaptation-only packets keep the counter",
       Carrier::Plain,
       {{{{256, 1}, {256, 7, AdaptationOnly}, {256, 2}}}},
       0,
       0},
      {"a flagged discontinuity is no error",
       Carrier::Plain,
       {{{{256, 1}, {256, 9, Discontinuity}, {256, 10}}}},
       0,
       0},
      {"null packets are skipped",
       Carrier::Plain,
       {{{{256, 1}, {0x1fff, 5}, {0x1fff, 9}, {256, 2}}}},
       0,
       0},
      {"prefixed packets", Carrier::Prefixed, {{{{256, 1}, {256, 2}, {256, 5}}}}, 1, 0},
      {"rtp in order", Carrier::Rtp, {{{{256, 1}}, 65535}, {{{256, 2}}, 0}, {{{256, 3}}, 1}}, 0, 0},
      {"rtp gap with the packets it lost",
       Carrier::Rtp,
       {{{{256, 1}}, 10}, {{{256, 3}}, 12}},
       1,
       1},
      {"rtp repeat of a datagram", Carrier::Rtp, {{{{256, 1}}, 10}, {{{256, 1}}, 10}}, 0, 1},
  };
  for (const Case& c : cases) {
    ContinuityCheck check;
    ContinuityCheck::Found found;
    for (const Datagram& d : c.datagrams) {
      const Bytes bytes = datagramBytes(c.carrier, d);
      check.datagram(bytes.data(), bytes.size(), found);
    }
    EXPECT_EQ(found.ccErrors, c.ccErrors) << c.name;
    EXPECT_EQ(found.rtpGaps, c.rtpGaps) << c.name;
  }
}

}  // namespace
}  // namespace relay
