#include "relay/stream/start_point.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

namespace relay {
namespace {

using Packet = std::array<unsigned char, 188>;

constexpr unsigned kPmtPid = 0x100;
constexpr unsigned kVideoPid = 0x101;
constexpr unsigned kAudioPid = 0x102;

Packet packet(unsigned pid, bool unitStart) {
  Packet p{};
  p.fill(0xff);
  p[0] = 0x47;
  p[1] = std::uint8_t((unitStart ? 0x40 : 0) | pid >> 8);
  p[2] = std::uint8_t(pid);
  p[3] = 0x10;  // payload only
  return p;
}

// A table section after a zero pointer field.
Packet table(unsigned pid, std::vector<unsigned char> section) {
  Packet p = packet(pid, true);
  p[4] = 0;
  const std::size_t length = section.size() + 4 - 3;  // with the CRC, after the length field
  section[1] = std::uint8_t(0xb0 | length >> 8);
  section[2] = std::uint8_t(length);
  std::copy(section.begin(), section.end(), p.begin() + 5);
  return p;
}

Packet pat() {
  return table(0, {0x00, 0, 0, 0, 1, 0xc1, 0, 0,  // table, length, stream id, version, numbers
                   0, 0, 0xe0, 0x10,              // network information table on 0x10
                   0, 1, std::uint8_t(0xe0 | kPmtPid >> 8), std::uint8_t(kPmtPid)});
}

Packet pmt(bool withVideo) {
  std::vector<unsigned char> s = {0x02, 0, 0, 0, 1, 0xc1, 0, 0, 0xe1, 0x01, 0xf0, 0};
  if (withVideo) s.insert(s.end(), {0x1b, 0xe1, 0x01, 0xf0, 0});
  s.insert(s.end(), {0x03, 0xe1, 0x02, 0xf0, 0});
  return table(kPmtPid, s);
}

// A packet starting a PES, with the random access indicator when `key`.
Packet pes(unsigned pid, bool key, bool unitStart = true) {
  Packet p = packet(pid, unitStart);
  p[3] = 0x30;  // adaptation field and payload
  p[4] = 1;
  p[5] = key ? 0x40 : 0x00;
  return p;
}

// Packet sequences, and the index of the PAT a client would start at.
TEST(StartPointTracker, StartsAtThePatBeforeTheLatestKeyframe) {
  struct Case {
    const char* name;
    std::vector<Packet> packets;
    int start;  // -1: none
  };
  const Packet video = pes(kVideoPid, false);
  const Packet key = pes(kVideoPid, true);
  const Case cases[] = {
      {"PAT, PMT, keyframe", {pat(), pmt(true), video, key, video}, 0},
      {"keyframe before any table", {key, pat(), pmt(true), video}, -1},
      {"no PMT between PAT and keyframe", {pat(), key, pmt(true)}, -1},
      {"an audio frame is no keyframe for video", {pat(), pmt(true), pes(kAudioPid, true)}, -1},
      {"random access in a continuation packet",
       {pat(), pmt(true), pes(kVideoPid, true, false)},
       -1},
      {"the latest of two", {pat(), pmt(true), key, video, pat(), pmt(true), video, key}, 4},
      {"a later PAT without keyframe keeps the earlier point",
       {pat(), pmt(true), key, pat(), pmt(true), video},
       0},
      {"radio: any stream's random access", {pat(), pmt(false), pes(kAudioPid, true)}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StartPointTracker<int> tracker;
    int found = -1;
    for (std::size_t i = 0; i < c.packets.size(); ++i) {
      if (tracker.packet(c.packets[i].data(), int(i), 0)) found = tracker.latest().place;
    }
    EXPECT_EQ(found, c.start);
  }
}

}  // namespace
}  // namespace relay
