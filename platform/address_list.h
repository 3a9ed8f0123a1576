// Lists of IPv4 networks written "CIDR[,CIDR...]" (192.168.1.0/24, a bare
// address for one host): who may reach a program, who may run its commands.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/socket.h"

namespace platform {

class AddressList {
 public:
  // Reads "CIDR[,CIDR...]": each a dotted address with an optional /0../32
  // (none: /32). Host bits under the prefix are ignored, as routers do.
  // nullopt for anything else, an empty text or entry included.
  static std::optional<AddressList> parse(std::string_view text);

  // An empty list names no restriction: every host is in it.
  bool restricts() const { return !networks_.empty(); }
  // Whether `host` (network order) is in one of the networks, or the list
  // restricts nothing.
  bool contains(Ipv4 host) const;
  // The networks as "a.b.c.d/n,...", for the console; "everyone" when empty.
  std::string text() const;

 private:
  struct Network {
    Ipv4 address = 0;  // network order, host bits cleared
    Ipv4 mask = 0;     // network order
  };
  std::vector<Network> networks_;
};

}  // namespace platform
