// Which reports the snooper believes: a report names its sender only by the
// source address in its IP header, which any LAN host can write as it
// likes, and the forwarder sends the group to that address. Only hosts of
// the listening interface's own subnet (and of --allow, when given) are
// heard and forwarded to, and only multicast groups that may leave the link
// are forwarded.
#pragma once

#include <cstdint>

#include "platform/lan_subnet.h"
#include "platform/socket.h"

namespace relay {

// Which senders are LAN hosts: the rule the tuner discovery shares, kept in
// the platform layer.
using platform::isLanHost;
using platform::LanSubnet;
using platform::lanSubnetOf;

// Whether `group` is a multicast group the snooper forwards: 224.0.0.0/4
// less local network control (224.0.0.0/24) and SSDP.
bool isForwardedGroup(platform::Ipv4 group);

// Whether `source`, named in an include-mode report, is a sender the
// snooper receives from: a unicast address, not 0.0.0.0/8, loopback,
// multicast or 240.0.0.0/4.
bool isForwardedSource(platform::Ipv4 source);

// The sender's link-layer (Ethernet) address as one value: its bytes in
// order, 0 when unknown (a link without such addresses). Several addresses
// used by one machine share it.
using LinkAddress = std::uint64_t;
inline constexpr LinkAddress kNoLinkAddress = 0;
LinkAddress linkAddressOf(const unsigned char* bytes, unsigned length);

}  // namespace relay
