// The local IPv4 addresses, as the operator types them for -li and -ri.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

using NetworkCard = std::string;

// Dotted-decimal IPv4 addresses of the non-loopback interfaces, in the order
// the system reports them (interface order, then address order within an
// interface); 0.0.0.0 is skipped. A failure leaves the list as far as it got.
void listNetworkCards(std::vector<NetworkCard>& cards);

// The name of the interface that holds `address` (exact text match), or "".
std::string interfaceNameOf(const std::string& address);
// The index of that interface, or 0 when there is none.
int interfaceIndexOf(const std::string& address);
// The netmask (network order) that goes with `address` on its interface, or
// 0 when no non-loopback interface holds it.
std::uint32_t netmaskOf(const std::string& address);

// The index of the interface called `name`, or 0 when there is none.
int interfaceIndexNamed(const std::string& name);
// The first IPv4 address (network order) the interface called `name` holds
// now, loopback included, or 0 when it holds none.
std::uint32_t firstAddressOf(const std::string& name);

}  // namespace platform
