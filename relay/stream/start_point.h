// Where a player can begin: the receiving thread looks at every transport
// stream packet of a group for the program tables and the random access
// points, so a client that comes to a group already being received can start
// at the latest program association table (PAT) that is followed by a
// program map table (PMT) and then by a packet starting a keyframe, instead
// of waiting for the next keyframe.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace relay {

class StartPointFinder {
 public:
  enum class Mark { None, Pat, Pmt, RandomAccess };

  // What one 188-byte packet is. RandomAccess: it starts a PES packet and
  // carries the random access indicator, on a video stream of the latest
  // PMT (on any stream when the PMT lists no video).
  Mark packet(const unsigned char* packet);

 private:
  static constexpr std::size_t kMostPids = 16;
  void readPat(const unsigned char* section, std::size_t size);
  void readPmt(const unsigned char* section, std::size_t size);
  static bool holds(const std::array<std::uint16_t, kMostPids>& pids, std::size_t count,
                    unsigned pid);

  std::array<std::uint16_t, kMostPids> pmtPids_{};
  std::size_t pmtCount_ = 0;
  std::array<std::uint16_t, kMostPids> videoPids_{};
  std::size_t videoCount_ = 0;
};

// Tracks the start point of one group datagram by datagram. `Place` is
// wherever the caller keeps a datagram (a buffer position); `offset` is the
// byte in that datagram where the unit holding the PAT packet begins.
template <typename Place>
class StartPointTracker {
 public:
  struct Point {
    Place place;
    std::uint32_t offset = 0;
  };

  // For each packet of a datagram at `place`: `unitOffset` is where the
  // packet's unit starts (its prefix included). True when the packet
  // completed a start point, now in `latest()`.
  bool packet(const unsigned char* packet, const Place& place, std::uint32_t unitOffset) {
    switch (finder_.packet(packet)) {
      case StartPointFinder::Mark::Pat:
        pat_ = Point{place, unitOffset};
        hasPat_ = true;
        pmtSeen_ = false;
        return false;
      case StartPointFinder::Mark::Pmt:
        pmtSeen_ = hasPat_;
        return false;
      case StartPointFinder::Mark::RandomAccess:
        if (!pmtSeen_) return false;
        latest_ = pat_;
        return true;
      case StartPointFinder::Mark::None:
        return false;
    }
    return false;
  }
  const Point& latest() const { return latest_; }
  // Drops what the tracker holds of the latest point (it may hold memory).
  void forgetLatest() { latest_ = Point{}; }

 private:
  StartPointFinder finder_;
  Point pat_;
  Point latest_;
  bool hasPat_ = false;
  bool pmtSeen_ = false;
};

}  // namespace relay
