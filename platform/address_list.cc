#include "platform/address_list.h"

#include <arpa/inet.h>

#include <charconv>

namespace platform {
namespace {

Ipv4 maskOf(unsigned prefix) {
  return prefix == 0 ? 0 : htonl(~std::uint32_t(0) << (32 - prefix));
}

}  // namespace

std::optional<AddressList> AddressList::parse(std::string_view text) {
  AddressList list;
  for (;;) {
    const std::size_t comma = text.find(',');
    std::string_view entry = text.substr(0, comma);
    unsigned prefix = 32;
    if (const std::size_t slash = entry.find('/'); slash != std::string_view::npos) {
      const std::string_view bits = entry.substr(slash + 1);
      const auto [end, error] = std::from_chars(bits.data(), bits.data() + bits.size(), prefix);
      if (bits.empty() || error != std::errc() || end != bits.data() + bits.size() || prefix > 32)
        return std::nullopt;
      entry = entry.substr(0, slash);
    }
    // inet_pton takes the four dotted decimals and nothing else (no octal,
    // no short forms), which is what a reader of the list expects.
    in_addr address{};
    if (entry.empty() || entry.size() > 15 ||
        ::inet_pton(AF_INET, std::string(entry).c_str(), &address) != 1) {
      return std::nullopt;
    }
    const Ipv4 mask = maskOf(prefix);
    list.networks_.push_back({address.s_addr & mask, mask});
    if (comma == std::string_view::npos) return list;
    text.remove_prefix(comma + 1);
  }
}

bool AddressList::contains(Ipv4 host) const {
  if (networks_.empty()) return true;
  for (const Network& network : networks_) {
    if ((host & network.mask) == network.address) return true;
  }
  return false;
}

std::string AddressList::text() const {
  if (networks_.empty()) return "everyone";
  std::string out;
  for (const Network& network : networks_) {
    if (!out.empty()) out += ',';
    unsigned prefix = 0;
    for (std::uint32_t bits = ntohl(network.mask); bits != 0; bits <<= 1) ++prefix;
    out += ipv4Text(network.address) + "/" + std::to_string(prefix);
  }
  return out;
}

}  // namespace platform
