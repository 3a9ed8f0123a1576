#include "relay/igmp/lan_rules.h"

#include <arpa/inet.h>

namespace relay {

bool isForwardedGroup(platform::Ipv4 group) {
  const std::uint32_t value = ntohl(group);
  if ((value & 0xf0000000u) != 0xe0000000u) return false;
  return (value & 0xffffff00u) != 0xe0000000u && value != 0xeffffffau;
}

bool isForwardedSource(platform::Ipv4 source) {
  return platform::isHostAddress(source);
}

LinkAddress linkAddressOf(const unsigned char* bytes, unsigned length) {
  // Only Ethernet-sized addresses; other links count by IP address alone.
  if (bytes == nullptr || length != 6) return kNoLinkAddress;
  LinkAddress value = 0;
  for (unsigned i = 0; i < length; ++i) value = value << 8 | bytes[i];
  return value;
}

}  // namespace relay
