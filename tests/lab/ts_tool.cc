// A deterministic multicast source and the matching body check for the lab.
//
//   ts_tool send --format F --group G --port P [--rate N] [--seconds S]
//                [--count N] [--packets N] [--drop-every N] [--swap-every N]
//                [--repeat-every N] [--from ADDRESS]
//   ts_tool check --format F --body FILE [--min-packets N] [--packets N]
//
// Every transport stream packet carries its sequence number, so the check
// can tell where in the stream a body starts and whether anything was lost,
// duplicated, reordered or left in: the body must be the stream's packets,
// from a datagram boundary on, exactly as the source sent them (RTP: the
// bare packets; plain and prefixed: unchanged).
//
// Formats: plain (7 packets of 188 bytes per datagram), rtp (12-byte header),
// rtp-csrc (two CSRC entries holding sync bytes), rtp-ext (an extension
// header), prefixed (192-byte packets), nosync (no sync byte at all).
//
// --drop-every N leaves out datagrams N-1, 2N-1, ... as a lossy network
// would: the receiver sees a continuity-counter jump after each (and an RTP
// sequence gap with RTP), count - count / N datagrams arrive.
// --swap-every N sends datagrams N-2 and N-1 of every N in swapped order,
// --repeat-every N sends datagram N-1 of every N twice, as a bonded link
// or a Wi-Fi bridge may.
//
// --from ADDRESS sends from that address of the host, for source-specific
// receivers.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

struct Options {
  std::map<std::string, std::string> values;
  std::string get(const std::string& name, const std::string& fallback = "") const {
    const auto it = values.find(name);
    return it == values.end() ? fallback : it->second;
  }
  long number(const std::string& name, long fallback) const {
    const auto it = values.find(name);
    return it == values.end() ? fallback : std::strtol(it->second.c_str(), nullptr, 10);
  }
};

bool isRtp(const std::string& format) {
  return format.rfind("rtp", 0) == 0;
}

std::size_t unitSize(const std::string& format) {
  return format == "prefixed" ? 192 : 188;
}

// Transport stream packet number k.
void appendPacket(Bytes& out, std::uint64_t k) {
  out.push_back(0x47);
  out.push_back(0x01);
  out.push_back(0x00);
  out.push_back(0x10 | (k & 0x0f));
  for (int shift = 56; shift >= 0; shift -= 8) out.push_back((k >> shift) & 0xff);
  for (std::size_t i = 12; i < 188; ++i) out.push_back((k * 31 + i) & 0xff);
}

// What the relay must deliver for packet k.
void appendDelivered(Bytes& out, const std::string& format, std::uint64_t k) {
  if (format == "prefixed") {
    // A prefix without sync bytes (values below 0x40).
    const unsigned char prefix[] = {0, 0, (unsigned char)((k >> 6) & 0x3f),
                                    (unsigned char)(k & 0x3f)};
    out.insert(out.end(), prefix, prefix + 4);
  }
  appendPacket(out, k);
}

void appendRtpHeader(Bytes& out, const std::string& format, std::uint16_t sequence) {
  const bool csrc = format == "rtp-csrc";
  const bool extension = format == "rtp-ext";
  out.push_back(0x80 | (extension ? 0x10 : 0) | (csrc ? 2 : 0));
  out.push_back(33);  // MP2T
  out.push_back(sequence >> 8);
  out.push_back(sequence & 0xff);
  const std::uint32_t timestamp = sequence * 3003u;
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back((timestamp >> shift) & 0xff);
  const unsigned char ssrc[] = {0x12, 0x34, 0x56, 0x78};
  out.insert(out.end(), ssrc, ssrc + 4);
  if (csrc) {
    const unsigned char list[] = {0x47, 0x47, 0x00, 0x01, 0x00, 0x47, 0x00, 0x02};
    out.insert(out.end(), list, list + 8);
  }
  if (extension) {
    const unsigned char header[] = {0xbe, 0xde, 0x00, 0x02, 0x47, 1, 2, 3, 4, 5, 6, 0x47};
    out.insert(out.end(), header, header + 12);
  }
}

Bytes datagram(const std::string& format, std::uint64_t index, std::size_t packets) {
  Bytes out;
  if (format == "nosync") {
    for (std::size_t i = 0; i < packets * 188; ++i) out.push_back((index + i) % 0x47);
    return out;
  }
  if (isRtp(format)) appendRtpHeader(out, format, std::uint16_t(index));
  for (std::size_t p = 0; p < packets; ++p) {
    appendDelivered(out, format, index * packets + p);
  }
  return out;
}

std::uint64_t nowNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return std::uint64_t(ts.tv_sec) * 1000000000u + std::uint64_t(ts.tv_nsec);
}

int send(const Options& options) {
  const std::string format = options.get("--format", "plain");
  const std::size_t packets = std::size_t(options.number("--packets", 7));
  const long rate = options.number("--rate", 760);  // about 8 Mbit/s of 1316-byte datagrams
  const long seconds = options.number("--seconds", 30);
  const long count = options.number("--count", rate * seconds);
  const long dropEvery = options.number("--drop-every", 0);
  const long swapEvery = options.number("--swap-every", 0);
  const long repeatEvery = options.number("--repeat-every", 0);

  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(std::uint16_t(options.number("--port", 5000)));
  to.sin_addr.s_addr = inet_addr(options.get("--group", "239.1.1.1").c_str());
  const int ttl = 2;
  setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
  if (const std::string from = options.get("--from"); !from.empty()) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = inet_addr(from.c_str());
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
      std::perror("bind");
      return 1;
    }
  }

  const std::uint64_t start = nowNs();
  for (long i = 0; i < count; ++i) {
    // Paced from the start, so the rate holds whatever a send costs.
    const std::uint64_t due = start + std::uint64_t(i) * 1000000000u / std::uint64_t(rate);
    const std::uint64_t now = nowNs();
    if (due > now + 200000) {
      const timespec pause{0, long(due - now)};
      nanosleep(&pause, nullptr);
    }
    long index = i;
    if (swapEvery > 1 && i % swapEvery == swapEvery - 2 && i + 1 < count) index = i + 1;
    if (swapEvery > 1 && i % swapEvery == swapEvery - 1) index = i - 1;
    if (dropEvery > 0 && index % dropEvery == dropEvery - 1) continue;
    const Bytes bytes = datagram(format, std::uint64_t(index), packets);
    const int copies = repeatEvery > 0 && i % repeatEvery == repeatEvery - 1 ? 2 : 1;
    for (int copy = 0; copy < copies; ++copy) {
      if (::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) <
          0) {
        std::perror("sendto");
        return 1;
      }
    }
  }
  ::close(fd);
  return 0;
}

int check(const Options& options) {
  const std::string format = options.get("--format", "plain");
  const std::size_t packets = std::size_t(options.number("--packets", 7));
  std::ifstream in(options.get("--body"), std::ios::binary);
  const Bytes body((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());

  if (format == "nosync") {
    if (body.empty()) return 0;
    std::printf("expected an empty body, got %zu bytes\n", body.size());
    return 1;
  }
  const std::size_t unit = unitSize(format);
  const std::size_t offset = unit - 188 + 4;  // the sequence number in the first packet
  if (body.size() < offset + 8) {
    std::printf("body too short: %zu bytes\n", body.size());
    return 1;
  }
  std::uint64_t first = 0;
  for (int i = 0; i < 8; ++i) first = (first << 8) | body[offset + i];
  if (first % packets != 0) {
    std::printf("body starts at packet %llu, not at a datagram boundary\n",
                (unsigned long long)first);
    return 1;
  }
  Bytes expected;
  for (std::uint64_t k = first; expected.size() < body.size(); ++k) {
    appendDelivered(expected, format, k);
  }
  for (std::size_t i = 0; i < body.size(); ++i) {
    if (body[i] != expected[i]) {
      std::printf("body differs at byte %zu (packet %llu)\n", i,
                  (unsigned long long)(first + i / unit));
      return 1;
    }
  }
  const long delivered = long(body.size() / unit);
  if (delivered < options.number("--min-packets", 1)) {
    std::printf("only %ld packets\n", delivered);
    return 1;
  }
  std::printf("%ld packets from packet %llu, as sent\n", delivered, (unsigned long long)first);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: ts_tool send|check --name value ...\n");
    return 2;
  }
  Options options;
  for (int i = 2; i + 1 < argc; i += 2) options.values[argv[i]] = argv[i + 1];
  const std::string command = argv[1];
  if (command == "send") return send(options);
  if (command == "check") return check(options);
  std::fprintf(stderr, "unknown command %s\n", argv[1]);
  return 2;
}
