#include "relay/stream/ts_probe.h"

namespace relay {
namespace {

constexpr std::size_t kSyncWindow = 208;
constexpr int kRegularHits = 8;
constexpr int kMostMisses = 2;
constexpr int kMostResyncs = 2;
constexpr int kLongestRun = 8;
constexpr std::size_t kMostRtpPackets = 9;

// The first offset in [0, 208) from `from` that holds a sync byte.
std::optional<std::size_t> findSync(const unsigned char* b, std::size_t n, std::size_t from) {
  for (std::size_t k = 0; k < kSyncWindow && from + k < n; ++k) {
    if (b[from + k] == kTsSync) return k;
  }
  return std::nullopt;
}

// The packet stride after a sync byte at `at`: 188 plus the distance to the
// next sync byte.
std::optional<std::size_t> findStride(const unsigned char* b, std::size_t n, std::size_t at) {
  const std::optional<std::size_t> j = findSync(b, n, at + kTsPacketSize);
  if (!j) return std::nullopt;
  return kTsPacketSize + *j;
}

std::optional<ProbeResult> probeRtp(const unsigned char* b, std::size_t n) {
  const std::size_t h = rtpHeaderLength(b, n, 0);
  if (h >= n || b[h] != kTsSync) return std::nullopt;
  std::size_t further = 0;
  for (std::size_t p = h + kTsPacketSize; p < n && b[p] == kTsSync; p += kTsPacketSize) ++further;
  if (further + 1 > kMostRtpPackets) return std::nullopt;
  return ProbeResult{StreamFormat::Rtp, kTsPacketSize, further + 1};
}

// Tolerates a few breaks in the packet pattern, finding the stride anew at
// each; a long enough unbroken run is a plain transport stream.
std::optional<ProbeResult> probeResynchronising(const unsigned char* b, std::size_t n,
                                                std::size_t start, std::size_t stride) {
  int run = 0;
  int resyncs = 0;
  for (std::size_t p = start; p < n; p += stride) {
    if (b[p] == kTsSync) {
      ++run;
    } else {
      ++resyncs;
      run = 0;
      const std::optional<std::size_t> k = findSync(b, n, p);
      if (!k) return std::nullopt;
      const std::optional<std::size_t> s = findStride(b, n, p + *k);
      if (!s) return std::nullopt;
      p += *k;
      stride = *s;
    }
    if (resyncs > kMostResyncs) return std::nullopt;
    if (run > kLongestRun) return ProbeResult{StreamFormat::PlainTs, stride};
  }
  return std::nullopt;
}

}  // namespace

std::optional<DatagramLayout> datagramLayout(const unsigned char* bytes, std::size_t size) {
  constexpr std::size_t kPrefixedSize = 192;
  if (size >= kTsPacketSize && size % kTsPacketSize == 0 && bytes[0] == kTsSync) {
    // plain transport stream (a prefix may happen to be a sync byte, but
    // seven 192-byte packets are not a multiple of 188)
    return DatagramLayout{};
  }
  if (size >= kPrefixedSize && size % kPrefixedSize == 0 && bytes[4] == kTsSync) {
    return DatagramLayout{4, kPrefixedSize, 4, false};
  }
  if (size >= 12 && (bytes[0] & 0xc0) == 0x80) {
    return DatagramLayout{rtpHeaderLength(bytes, size, 0), kTsPacketSize, 0, true};
  }
  return std::nullopt;
}

std::size_t rtpHeaderLength(const unsigned char* b, std::size_t n, std::size_t at) {
  if (at >= n) return n + 1;
  std::size_t length = 12 + 4 * std::size_t(b[at] & 0x0f);
  if (b[at] & 0x10) {
    const std::size_t field = at + length + 2;
    if (field + 1 >= n) return n - at + 1;
    length += 4 + 4 * ((std::size_t(b[field]) << 8) | b[field + 1]);
  }
  return length;
}

std::optional<ProbeResult> probeFirstChunk(const unsigned char* b, std::size_t n) {
  const std::optional<std::size_t> i = findSync(b, n, 0);
  if (!i) return std::nullopt;
  if (*i + kTsPacketSize >= n) return std::nullopt;
  const std::optional<std::size_t> s = findStride(b, n, *i);
  if (!s) return std::nullopt;

  int hits = 0;
  int misses = 0;
  for (std::size_t p = *i + *s; p < n; p += *s) {
    if (b[p] == kTsSync) {
      if (++hits == kRegularHits) {
        if (*i == 4) return ProbeResult{StreamFormat::PrefixedTs, *s - 4};
        return ProbeResult{StreamFormat::PlainTs, *s};
      }
    } else if (++misses > kMostMisses) {
      break;
    }
  }
  if (auto plain = probeResynchronising(b, n, *i + *s, *s)) return plain;
  return probeRtp(b, n);
}

Payload rtpPayload(const unsigned char* datagram, std::size_t size) {
  if (size == 0) return {};
  const std::size_t header = datagram[0] == kTsSync ? 0 : rtpHeaderLength(datagram, size, 0);
  if (header >= size) return {};
  return {header, (size - header) / kTsPacketSize * kTsPacketSize};
}

}  // namespace relay
