#include "relay/igmp/igmp_packet.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>
#include <string_view>
#include <utility>

namespace relay {
namespace {

constexpr std::string_view kInvalidHeader = "Invalid ip header.";
constexpr std::string_view kInvalidLength = "Invalid payload length.";
constexpr std::string_view kInvalidChecksum = "Invalid IGMP checksum.";

constexpr std::size_t kIpv4HeaderBytes = 20;
constexpr std::size_t kIgmpBytes = 8;
// A version 3 group record before its sources: type, aux data length,
// number of sources, multicast address.
constexpr std::size_t kGroupRecordBytes = 8;

constexpr std::uint8_t kMembershipQuery = 0x11;
constexpr std::uint8_t kVersion1Report = 0x12;
constexpr std::uint8_t kVersion2Report = 0x16;
constexpr std::uint8_t kLeaveGroup = 0x17;
constexpr std::uint8_t kVersion3Report = 0x22;
constexpr std::uint8_t kMaxResponseTenths = 100;
// The query's byte after the group: reserved bits and S flag 0, QRV 2.
constexpr std::uint8_t kRobustness = 2;
// QQIC: the general query period in seconds (below 128, so taken as is).
constexpr std::uint8_t kQueryIntervalSeconds = 125;

// Version 3 group record types (RFC 3376, 4.2.12).
constexpr std::uint8_t kModeIsInclude = 1;
constexpr std::uint8_t kModeIsExclude = 2;
constexpr std::uint8_t kChangeToInclude = 3;
constexpr std::uint8_t kChangeToExclude = 4;
constexpr std::uint8_t kAllowNewSources = 5;
constexpr std::uint8_t kBlockOldSources = 6;

std::size_t be16(std::span<const std::uint8_t> bytes, std::size_t at) {
  return std::size_t(bytes[at]) << 8 | std::size_t(bytes[at + 1]);
}

// Four bytes as they stand: the address stays in network order.
platform::Ipv4 address(std::span<const std::uint8_t> bytes, std::size_t at) {
  platform::Ipv4 value = 0;
  std::memcpy(&value, bytes.data() + at, sizeof value);
  return value;
}

// The ones' complement sum of the big-endian 16-bit words, not yet folded.
std::uint32_t wordSum(std::span<const std::uint8_t> bytes) {
  std::uint32_t sum = 0;
  std::size_t i = 0;
  for (; i + 1 < bytes.size(); i += 2) sum += std::uint32_t(bytes[i]) << 8 | bytes[i + 1];
  if (i < bytes.size()) sum += std::uint32_t(bytes[i]) << 8;
  return sum;
}

std::uint16_t complementOf(std::uint32_t sum) {
  while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
  return std::uint16_t(~sum);
}

// What one version 3 group record means for the forwarding: a host that
// wants any source of the group (exclude mode) or named sources (include
// mode) is a member; one left in include mode with no source has left. An
// exclude-mode host gets the whole group, whatever sources it excludes; an
// include-mode host gets the group from the sources it names.
std::optional<GroupChange> recordChange(std::uint8_t type, platform::Ipv4 group,
                                        std::vector<platform::Ipv4> sources) {
  GroupChange change;
  change.group = group;
  switch (type) {
    case kModeIsExclude:
    case kChangeToExclude:
      return change;
    case kModeIsInclude:
    case kChangeToInclude:
      if (sources.empty()) {
        change.join = false;
        return change;
      }
      change.filter = SourceFilter::Only;
      break;
    case kAllowNewSources:
      if (sources.empty()) return std::nullopt;
      change.filter = SourceFilter::Also;
      break;
    case kBlockOldSources:
      if (sources.empty()) return std::nullopt;
      change.join = false;
      change.filter = SourceFilter::Without;
      break;
    default:
      return std::nullopt;
  }
  change.sources = std::move(sources);
  return change;
}

// The group records of a version 3 report; false when one of them does not
// fit in the message.
bool readGroupRecords(std::span<const std::uint8_t> message, std::vector<GroupChange>& changes) {
  const std::size_t records = be16(message, 6);
  std::size_t at = kIgmpBytes;
  for (std::size_t r = 0; r < records; ++r) {
    if (message.size() - at < kGroupRecordBytes) return false;
    const std::uint8_t type = message[at];
    const std::size_t auxWords = message[at + 1];
    const std::size_t count = be16(message, at + 2);
    const std::size_t length = kGroupRecordBytes + 4 * count + 4 * auxWords;
    if (message.size() - at < length) return false;
    std::vector<platform::Ipv4> sources;
    for (std::size_t i = 0; i < count; ++i) {
      sources.push_back(address(message, at + kGroupRecordBytes + 4 * i));
    }
    if (std::optional<GroupChange> change =
            recordChange(type, address(message, at + 4), std::move(sources))) {
      changes.push_back(std::move(*change));
    }
    at += length;
  }
  return true;
}

void write(const common::LineWriter& log, std::string_view line) {
  if (log) log(line);
}

}  // namespace

std::optional<IgmpReading> parseIgmp(std::span<const std::uint8_t> packet,
                                     const common::LineWriter& log) {
  if (packet.size() < kIpv4HeaderBytes) {
    write(log, kInvalidHeader);
    return std::nullopt;
  }
  const std::size_t totalLength = be16(packet, 2);
  const std::size_t headerLength = std::size_t(packet[0] & 0x0f) * 4;
  // Whatever follows the total length (link padding) is not ours. A header
  // length that leaves no room for an IGMP message cannot be read either.
  if (packet.size() < totalLength || headerLength < kIpv4HeaderBytes ||
      headerLength > totalLength || totalLength - headerLength < kIgmpBytes) {
    write(log, kInvalidLength);
    return std::nullopt;
  }
  const std::span<const std::uint8_t> message =
      packet.subspan(headerLength, totalLength - headerLength);

  // The checksum field counts as 0; it sits on a word boundary, so the
  // words before and after it can be summed apart.
  const std::size_t saved = be16(message, 2);
  if (complementOf(wordSum(message.first(2)) + wordSum(message.subspan(4))) != saved) {
    write(log, kInvalidChecksum);
    return std::nullopt;
  }

  IgmpReading reading;
  reading.source = address(packet, 12);
  switch (message[0]) {
    case kMembershipQuery:
      reading.type = IgmpType::Query;
      break;
    case kVersion1Report:
    case kVersion2Report:
      reading.type = IgmpType::Report;
      reading.changes.push_back(GroupChange{true, address(message, 4), SourceFilter::Any, {}});
      break;
    case kLeaveGroup:
      reading.type = IgmpType::Leave;
      reading.changes.push_back(GroupChange{false, address(message, 4), SourceFilter::Any, {}});
      break;
    case kVersion3Report:
      // Bytes 4-7 hold a reserved field and the record count, not a group.
      reading.type = IgmpType::Report;
      if (!readGroupRecords(message, reading.changes)) {
        write(log, kInvalidLength);
        return std::nullopt;
      }
      break;
    default:
      reading.type = IgmpType::Other;
      break;
  }
  return reading;
}

std::uint16_t internetChecksum(std::span<const std::uint8_t> bytes) {
  return complementOf(wordSum(bytes));
}

namespace {

// Where version 3 reports go.
constexpr const char* kAllIgmpRouters = "224.0.0.22";

void putBe16(std::vector<std::uint8_t>& bytes, std::size_t at, std::size_t value) {
  bytes[at] = std::uint8_t(value >> 8);
  bytes[at + 1] = std::uint8_t(value & 0xff);
}

void putAddress(std::vector<std::uint8_t>& bytes, platform::Ipv4 value) {
  const std::size_t at = bytes.size();
  bytes.resize(at + sizeof value);
  std::memcpy(bytes.data() + at, &value, sizeof value);
}

// Fills in the checksum of a message whose checksum field holds 0.
MembershipReport sealed(std::vector<std::uint8_t> message, platform::Ipv4 destination) {
  putBe16(message, 2, internetChecksum(message));
  return MembershipReport{std::move(message), destination};
}

// A version 3 report being filled: its 8 bytes before the records, then
// the records, their count written when it is sealed.
struct Version3Report {
  std::vector<std::uint8_t> message{kVersion3Report, 0, 0, 0, 0, 0, 0, 0};
  std::size_t records = 0;
};

}  // namespace

std::vector<MembershipReport> membershipReports(std::vector<HeldMembership> memberships) {
  // In the numeric order of group, then source.
  std::sort(memberships.begin(), memberships.end(),
            [](const HeldMembership& a, const HeldMembership& b) {
              return std::pair(ntohl(a.group), ntohl(a.source)) <
                     std::pair(ntohl(b.group), ntohl(b.source));
            });
  memberships.erase(std::unique(memberships.begin(), memberships.end()), memberships.end());

  std::vector<MembershipReport> reports;
  // Sorted, a group received from any source comes first among its own.
  for (const HeldMembership& held : memberships) {
    if (held.source != 0) continue;
    std::vector<std::uint8_t> message{kVersion2Report, 0, 0, 0};
    putAddress(message, held.group);
    reports.push_back(sealed(std::move(message), held.group));
  }

  Version3Report report;
  const auto seal = [&] {
    if (report.records == 0) return;
    putBe16(report.message, 6, report.records);
    reports.push_back(sealed(std::move(report.message), platform::parseIpv4(kAllIgmpRouters)));
    report = Version3Report{};
  };
  for (std::size_t i = 0; i < memberships.size();) {
    const platform::Ipv4 group = memberships[i].group;
    std::size_t end = i;
    while (end < memberships.size() && memberships[end].group == group) ++end;
    // Received from any source as well: reported above.
    if (memberships[i].source == 0) i = end;
    while (i < end) {
      // A record with at least one source must fit.
      if (report.message.size() + kGroupRecordBytes + 4 > kMostReportBytes) seal();
      const std::size_t room = (kMostReportBytes - report.message.size() - kGroupRecordBytes) / 4;
      const std::size_t count = std::min(end - i, room);
      report.message.insert(report.message.end(), {kModeIsInclude, 0, 0, 0});
      putBe16(report.message, report.message.size() - 2, count);
      putAddress(report.message, group);
      for (std::size_t s = 0; s < count; ++s) putAddress(report.message, memberships[i + s].source);
      ++report.records;
      i += count;
    }
  }
  seal();
  return reports;
}

std::array<std::uint8_t, kQueryBytes> buildQuery(platform::Ipv4 group) {
  // Below 128 the max resp code is the time itself, as in version 2.
  std::array<std::uint8_t, kQueryBytes> query{kMembershipQuery, kMaxResponseTenths};
  std::memcpy(query.data() + 4, &group, sizeof group);
  query[8] = kRobustness;
  query[9] = kQueryIntervalSeconds;
  // Bytes 10-11: no sources.
  const std::uint16_t checksum = internetChecksum(query);
  query[2] = std::uint8_t(checksum >> 8);
  query[3] = std::uint8_t(checksum & 0xff);
  return query;
}

}  // namespace relay
