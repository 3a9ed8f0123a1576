#include "relay/igmp/lan_rules.h"

#include <arpa/inet.h>

#include <algorithm>

#include "platform/network_cards.h"

namespace relay {

LanSubnet lanSubnetOf(platform::Ipv4 listenAddress) {
  LanSubnet lan{listenAddress, platform::netmaskOf(platform::ipv4Text(listenAddress)), {}};
  std::vector<platform::NetworkCard> cards;
  platform::listNetworkCards(cards);
  for (const platform::NetworkCard& card : cards) lan.own.push_back(platform::parseIpv4(card));
  return lan;
}

bool isLanHost(const LanSubnet& lan, platform::Ipv4 host) {
  if (lan.netmask == 0) return false;
  const std::uint32_t value = ntohl(host);
  const std::uint32_t mask = ntohl(lan.netmask);
  // 0.0.0.0/8, loopback, and 224.0.0.0 upwards (multicast, reserved and
  // broadcast) are no host of any link, however wide a subnet is set up.
  const std::uint32_t first = value >> 24;
  if (first == 0 || first == 127 || first >= 224) return false;
  if ((value & mask) != (ntohl(lan.address) & mask)) return false;
  if (host == lan.address) return false;
  if (std::find(lan.own.begin(), lan.own.end(), host) != lan.own.end()) return false;
  // A /31 has no network or broadcast address (both are hosts); a /32 has
  // no other host at all, which the check above already refuses.
  const std::uint32_t hostPart = value & ~mask;
  if (~mask > 1 && (hostPart == 0 || hostPart == ~mask)) return false;
  return true;
}

bool isForwardedGroup(platform::Ipv4 group) {
  const std::uint32_t value = ntohl(group);
  if ((value & 0xf0000000u) != 0xe0000000u) return false;
  return (value & 0xffffff00u) != 0xe0000000u && value != 0xeffffffau;
}

LinkAddress linkAddressOf(const unsigned char* bytes, unsigned length) {
  // Only Ethernet-sized addresses; other links count by IP address alone.
  if (bytes == nullptr || length != 6) return kNoLinkAddress;
  LinkAddress value = 0;
  for (unsigned i = 0; i < length; ++i) value = value << 8 | bytes[i];
  return value;
}

}  // namespace relay
