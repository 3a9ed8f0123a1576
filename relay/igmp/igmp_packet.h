// IGMP as the snooper reads and writes it: validation and classification of
// a received IPv4 packet (versions 1, 2 and 3), the Internet checksum, and
// the version 3 query it sends.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "common/line_writer.h"
#include "platform/socket.h"

namespace relay {

enum class IgmpType { Query, Report, Leave, Other };

// Which sources of a group a change is about. Version 1 and 2 messages and
// version 3 records in exclude mode want every source; include-mode records
// name the sources a host wants.
enum class SourceFilter {
  Any,      // every source of the group
  Only,     // only `sources`, from now on
  Also,     // `sources` in addition to those wanted so far
  Without,  // no longer `sources`; a host left with none in include mode has left
};

// One group that a message asks for (join) or gives up (leave). A change
// with `Without` is neither: it leaves only when no source is left.
struct GroupChange {
  bool join = true;
  platform::Ipv4 group = 0;  // network order
  SourceFilter filter = SourceFilter::Any;
  std::vector<platform::Ipv4> sources;  // network order
};

struct IgmpReading {
  IgmpType type = IgmpType::Other;
  platform::Ipv4 source = 0;  // the IPv4 header's source, network order
  // Reports and leaves: every group the message names, in message order.
  std::vector<GroupChange> changes;
};

// Reads one IPv4 packet carrying IGMP. A packet that fails validation is
// rejected (nothing returned) with exactly one log line: "Invalid ip
// header.", "Invalid payload length." or "Invalid IGMP checksum.".
std::optional<IgmpReading> parseIgmp(std::span<const std::uint8_t> packet,
                                     const common::LineWriter& log);

// RFC 1071 over `bytes` (an odd last byte padded with 0), in host order.
std::uint16_t internetChecksum(std::span<const std::uint8_t> bytes);

// The 12-byte version 3 membership query for `group` (0 for a general
// query), with its checksum: maximum response time 10 s, robustness 2,
// query interval 125 s, no sources. Version 1 and 2 hosts take it as a
// query of their own version.
inline constexpr std::size_t kQueryBytes = 12;
std::array<std::uint8_t, kQueryBytes> buildQuery(platform::Ipv4 group);

}  // namespace relay
