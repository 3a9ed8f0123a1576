#include "platform/network_cards.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

namespace platform {
namespace {

// Calls `visit(name, address, netmask)` for every listed IPv4 address; the
// netmask in network order (0 when the system gives none).
template <typename Visit>
void forEachCardAddress(Visit&& visit) {
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return;
  for (ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
    if (entry->ifa_flags & IFF_LOOPBACK) continue;
    const auto* in = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
    char text[INET_ADDRSTRLEN];
    if (::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text) == nullptr) continue;
    const std::string address = text;
    if (address == "0.0.0.0") continue;
    std::uint32_t netmask = 0;
    if (entry->ifa_netmask != nullptr && entry->ifa_netmask->sa_family == AF_INET) {
      netmask = reinterpret_cast<const sockaddr_in*>(entry->ifa_netmask)->sin_addr.s_addr;
    }
    if (!visit(std::string(entry->ifa_name), address, netmask)) break;
  }
  ::freeifaddrs(list);
}

}  // namespace

void listNetworkCards(std::vector<NetworkCard>& cards) {
  forEachCardAddress([&](const std::string&, const std::string& address, std::uint32_t) {
    cards.push_back(address);
    return true;
  });
}

std::string interfaceNameOf(const std::string& address) {
  std::string found;
  forEachCardAddress([&](const std::string& name, const std::string& text, std::uint32_t) {
    if (text != address) return true;
    found = name;
    return false;
  });
  return found;
}

int interfaceIndexOf(const std::string& address) {
  const std::string name = interfaceNameOf(address);
  return name.empty() ? 0 : int(::if_nametoindex(name.c_str()));
}

std::uint32_t netmaskOf(const std::string& address) {
  std::uint32_t found = 0;
  forEachCardAddress([&](const std::string&, const std::string& text, std::uint32_t netmask) {
    if (text != address) return true;
    found = netmask;
    return false;
  });
  return found;
}

int interfaceIndexNamed(const std::string& name) {
  return int(::if_nametoindex(name.c_str()));
}

std::uint32_t firstAddressOf(const std::string& name) {
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return 0;
  std::uint32_t found = 0;
  for (ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
    if (name != entry->ifa_name) continue;
    found = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr;
    break;
  }
  ::freeifaddrs(list);
  return found;
}

}  // namespace platform
