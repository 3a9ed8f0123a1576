#include "platform/lan_subnet.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdint>

#include "platform/network_cards.h"

namespace platform {

LanSubnet lanSubnetOf(Ipv4 listenAddress) {
  LanSubnet lan{listenAddress, netmaskOf(ipv4Text(listenAddress)), {}, {}};
  std::vector<NetworkCard> cards;
  listNetworkCards(cards);
  for (const NetworkCard& card : cards) lan.own.push_back(parseIpv4(card));
  return lan;
}

bool isHostAddress(Ipv4 address) {
  const std::uint32_t first = ntohl(address) >> 24;
  return first != 0 && first != 127 && first < 224;
}

bool isLanHost(const LanSubnet& lan, Ipv4 host) {
  if (lan.netmask == 0) return false;
  const std::uint32_t value = ntohl(host);
  const std::uint32_t mask = ntohl(lan.netmask);
  // However wide a subnet is set up.
  if (!isHostAddress(host)) return false;
  if ((value & mask) != (ntohl(lan.address) & mask)) return false;
  if (host == lan.address) return false;
  if (std::find(lan.own.begin(), lan.own.end(), host) != lan.own.end()) return false;
  if (!lan.allow.contains(host)) return false;
  // A /31 has no network or broadcast address (both are hosts); a /32 has
  // no other host at all, which the check above already refuses.
  const std::uint32_t hostPart = value & ~mask;
  if (~mask > 1 && (hostPart == 0 || hostPart == ~mask)) return false;
  return true;
}

Ipv4 subnetBroadcastOf(const LanSubnet& lan) {
  const std::uint32_t mask = ntohl(lan.netmask);
  if (lan.netmask == 0 || ~mask <= 1) return 0;
  return htonl(ntohl(lan.address) | ~mask);
}

}  // namespace platform
