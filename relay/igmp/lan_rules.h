// Which reports the snooper believes: a report names its sender only by the
// source address in its IP header, which any LAN host can write as it
// likes, and the forwarder sends the group to that address. Only hosts of
// the listening interface's own subnet are heard and forwarded to, and only
// multicast groups that may leave the link are forwarded.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/socket.h"

namespace relay {

// The listening interface's address and netmask, both network order.
struct LanSubnet {
  platform::Ipv4 address = 0;
  platform::Ipv4 netmask = 0;  // 0: unknown, and then no host is of the LAN
  // Every other address of the relay's machine: a second address in the
  // same subnet is the relay too, and a copy sent there would reach its own
  // listeners.
  std::vector<platform::Ipv4> own;
};

// The subnet of the interface that holds `listenAddress`, with the
// machine's other addresses; netmask 0 when no interface (loopback aside)
// holds it.
LanSubnet lanSubnetOf(platform::Ipv4 listenAddress);

// Whether `host` is a unicast host of `lan` other than the relay itself
// (any of its addresses): not its network or broadcast address, never
// loopback, multicast, reserved or 0.0.0.0, whatever the subnet claims.
bool isLanHost(const LanSubnet& lan, platform::Ipv4 host);

// Whether `group` is a multicast group the snooper forwards: 224.0.0.0/4
// less local network control (224.0.0.0/24) and SSDP.
bool isForwardedGroup(platform::Ipv4 group);

// The sender's link-layer (Ethernet) address as one value: its bytes in
// order, 0 when unknown (a link without such addresses). Several addresses
// used by one machine share it.
using LinkAddress = std::uint64_t;
inline constexpr LinkAddress kNoLinkAddress = 0;
LinkAddress linkAddressOf(const unsigned char* bytes, unsigned length);

}  // namespace relay
