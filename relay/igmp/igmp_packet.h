// IGMP as the relay reads and writes it: validation and classification of
// a received IPv4 packet (versions 1, 2 and 3), the Internet checksum, the
// version 3 query the snooper sends, and the reports that state the relay's
// own memberships again upstream (--rejoin).
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

// A group the relay receives, from one source or from any (0). Network order.
struct HeldMembership {
  platform::Ipv4 group = 0;
  platform::Ipv4 source = 0;
  bool operator==(const HeldMembership&) const = default;
};

// One report as it goes on the wire: the IGMP message with its checksum,
// and the address it is sent to (network order).
struct MembershipReport {
  std::vector<std::uint8_t> bytes;
  platform::Ipv4 destination = 0;
};

// A version 3 report is kept within this many bytes, so that with its IPv4
// header and the Router Alert option it fits any Ethernet frame.
inline constexpr std::size_t kMostReportBytes = 1400;

// The reports a host answers a general query with, for `memberships`
// (duplicates, such as one group received on two ports, count once): a
// version 2 report, to the group itself, for each group received from any
// source, which every snooping switch and querier reads; and version 3
// reports to 224.0.0.22 with a MODE_IS_INCLUDE record per group received
// from named sources only, listing them (a group also received from any
// source needs none: its version 2 report covers every source). Records
// go in the groups' numeric order, up to kMostReportBytes a report; a
// record with more sources than one report holds goes on in the next,
// which a querier adds to the first.
std::vector<MembershipReport> membershipReports(std::vector<HeldMembership> memberships);

}  // namespace relay
