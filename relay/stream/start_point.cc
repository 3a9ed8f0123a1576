#include "relay/stream/start_point.h"

#include <algorithm>

namespace relay {
namespace {

constexpr unsigned kPatPid = 0;
constexpr unsigned char kPatTable = 0x00;
constexpr unsigned char kPmtTable = 0x02;

unsigned pidOf(const unsigned char* packet) {
  return unsigned(packet[1] & 0x1f) << 8 | packet[2];
}

bool startsUnit(const unsigned char* packet) {
  return (packet[1] & 0x40) != 0;
}

// Where the payload begins, or 188 when the packet has none.
std::size_t payloadStart(const unsigned char* packet) {
  const unsigned control = packet[3] >> 4 & 3;
  if ((control & 1) == 0) return 188;
  if ((control & 2) == 0) return 4;
  return std::size_t(5) + packet[4];
}

bool randomAccess(const unsigned char* packet) {
  const unsigned control = packet[3] >> 4 & 3;
  return (control & 2) != 0 && packet[4] > 0 && (packet[5] & 0x40) != 0;
}

bool isVideo(unsigned char streamType) {
  switch (streamType) {
    case 0x01:  // MPEG-1 video
    case 0x02:  // MPEG-2 video
    case 0x10:  // MPEG-4 part 2
    case 0x1b:  // H.264
    case 0x20:  // H.264 MVC
    case 0x24:  // HEVC
    case 0x42:  // AVS
    case 0xd1:  // Dirac
    case 0xea:  // VC-1
      return true;
    default:
      return false;
  }
}

// Where a table section's entries end: before its CRC, or at the end of
// what this packet holds of it.
std::size_t entriesEnd(const unsigned char* section, std::size_t size) {
  const std::size_t declared = std::size_t(3) + ((section[1] & 0x0f) << 8 | section[2]);
  return std::min(size, declared < 4 ? 0 : declared - 4);
}

}  // namespace

bool StartPointFinder::holds(const std::array<std::uint16_t, kMostPids>& pids, std::size_t count,
                             unsigned pid) {
  for (std::size_t i = 0; i < count; ++i) {
    if (pids[i] == pid) return true;
  }
  return false;
}

StartPointFinder::Mark StartPointFinder::packet(const unsigned char* packet) {
  const unsigned pid = pidOf(packet);
  const bool unitStart = startsUnit(packet);
  const bool table = pid == kPatPid || holds(pmtPids_, pmtCount_, pid);
  if (table) {
    if (!unitStart) return Mark::None;
    const std::size_t payload = payloadStart(packet);
    if (payload >= 188) return Mark::None;
    const std::size_t section = payload + 1 + packet[payload];  // after the pointer field
    if (section >= 188) return Mark::None;
    if (pid == kPatPid) {
      if (packet[section] != kPatTable) return Mark::None;
      readPat(packet + section, 188 - section);
      return Mark::Pat;
    }
    if (packet[section] != kPmtTable) return Mark::None;
    readPmt(packet + section, 188 - section);
    return Mark::Pmt;
  }
  if (!unitStart || !randomAccess(packet)) return Mark::None;
  if (videoCount_ != 0 && !holds(videoPids_, videoCount_, pid)) return Mark::None;
  return Mark::RandomAccess;
}

void StartPointFinder::readPat(const unsigned char* s, std::size_t size) {
  if (size < 8) return;
  // Programs from byte 8 to the CRC, as far as this packet holds them.
  const std::size_t end = entriesEnd(s, size);
  pmtCount_ = 0;
  for (std::size_t at = 8; at + 4 <= end && pmtCount_ < kMostPids; at += 4) {
    const unsigned program = unsigned(s[at]) << 8 | s[at + 1];
    if (program == 0) continue;  // the network information table
    pmtPids_[pmtCount_++] = std::uint16_t((s[at + 2] & 0x1f) << 8 | s[at + 3]);
  }
}

void StartPointFinder::readPmt(const unsigned char* s, std::size_t size) {
  if (size < 12) return;
  const std::size_t end = entriesEnd(s, size);
  std::size_t at = 12 + ((s[10] & 0x0f) << 8 | s[11]);
  videoCount_ = 0;
  for (; at + 5 <= end && videoCount_ < kMostPids;
       at += 5 + ((s[at + 3] & 0x0f) << 8 | s[at + 4])) {
    if (isVideo(s[at]))
      videoPids_[videoCount_++] = std::uint16_t((s[at + 1] & 0x1f) << 8 | s[at + 2]);
  }
}

}  // namespace relay
