// Which hosts count as the LAN of the listening interface. A datagram names
// its sender only by the source address in its IP header, which any LAN host
// can write as it likes, and whatever answers it goes to that address: only
// unicast hosts of the listening interface's own subnet are heard, and of
// those only the ones the relay's --allow list names.
#pragma once

#include <vector>

#include "platform/address_list.h"
#include "platform/socket.h"

namespace platform {

// The listening interface's address and netmask, both network order.
struct LanSubnet {
  Ipv4 address = 0;
  Ipv4 netmask = 0;  // 0: unknown, and then no host is of the LAN
  // Every other address of the relay's machine: a second address in the
  // same subnet is the relay too, and a copy sent there would reach its own
  // listeners.
  std::vector<Ipv4> own;
  // The hosts the relay may answer at all (--allow); empty: every host.
  AddressList allow;
};

// The subnet of the interface that holds `listenAddress`, with the
// machine's other addresses; netmask 0 when no interface (loopback aside)
// holds it.
LanSubnet lanSubnetOf(Ipv4 listenAddress);

// Whether `address` could be a host of some link: not 0.0.0.0/8,
// loopback, or 224.0.0.0 upwards (multicast, reserved and broadcast).
bool isHostAddress(Ipv4 address);

// Whether `host` is a unicast host of `lan` other than the relay itself
// (any of its addresses): not its network or broadcast address, never
// loopback, multicast, reserved or 0.0.0.0, whatever the subnet claims,
// and one `lan.allow` contains.
bool isLanHost(const LanSubnet& lan, Ipv4 host);

// The subnet's broadcast address (network order); 0 when the netmask is
// unknown, and none for a /31 or /32, which have no broadcast address.
Ipv4 subnetBroadcastOf(const LanSubnet& lan);

}  // namespace platform
