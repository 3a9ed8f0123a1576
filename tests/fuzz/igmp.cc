// A packet on the snooper's socket, as an IGMP message (versions 1 to 3)
// and as a sniffed datagram of a forwarded group. A rejected packet logs
// exactly one line; an accepted one carries a message whose checksum
// verifies.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string_view>

#include "relay/igmp/igmp_packet.h"
#include "relay/igmp/multicast_forwarder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> packet(data, size);
  int lines = 0;
  const std::optional<relay::IgmpReading> reading =
      relay::parseIgmp(packet, [&](std::string_view) { ++lines; });
  if (!reading) {
    if (lines != 1) std::abort();
  } else {
    if (lines != 0) std::abort();
    const std::size_t total = std::size_t(data[2]) << 8 | data[3];
    const std::size_t header = std::size_t(data[0] & 0x0f) * 4;
    if (total > size || header > total) std::abort();
    if (relay::internetChecksum(packet.subspan(header, total - header)) != 0) std::abort();
    if (reading->type == relay::IgmpType::Leave &&
        (reading->changes.size() != 1 || reading->changes[0].join)) {
      std::abort();
    }
  }

  // The group the forwarder sniffs for: the packet's own destination, so
  // that most inputs get past the first check.
  platform::Ipv4 group = 0;
  if (size >= 20) std::memcpy(&group, data + 16, sizeof group);
  relay::sniffedUdpPort(packet, group);
  return 0;
}
