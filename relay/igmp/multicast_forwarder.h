// The forwarder of one (host, group) pair: receives the group on the
// receiving interface, from every source or from the ones the host named,
// and sends every datagram of it on to the host as one unicast UDP datagram
// of the same size, in order, until the pair or the snooper stops.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "platform/event.h"
#include "platform/socket.h"
#include "relay/igmp/lan_rules.h"
#include "relay/igmp/snooper_report.h"

namespace relay {

// The UDP port each group is sent to, learned from its first packet. The
// first entry for a group wins; entries stay while the snooper exists.
class PortCache {
 public:
  std::optional<std::uint16_t> find(platform::Ipv4 group) const;
  void add(platform::Ipv4 group, std::uint16_t port);

 private:
  mutable std::mutex lock_;
  std::vector<std::pair<platform::Ipv4, std::uint16_t>> ports_;  // port in host order
};

// What the snooper shares with all its forwarders; outlives every one.
struct ForwarderShared {
  platform::Ipv4 receiveAddress = 0;  // network order
  int receiveInterfaceIndex = 0;      // -ri by name; 0: by receiveAddress
  std::uint16_t forwardPort = 0;      // host order; 0: the group's own port
  // Set before the first forwarder starts; a forwarder sends only to its
  // hosts.
  LanSubnet lan;
  PortCache portCache;
  platform::Event snooperStop{platform::Event::Reset::Manual};
  Reporter report;
};

// The sources a pair's host wants, which the membership table changes
// while the pair's forwarder runs: none for every source of the group.
class WantedSources {
 public:
  explicit WantedSources(std::vector<platform::Ipv4> sources = {});

  std::vector<platform::Ipv4> get() const;
  // Sets `changed` when `sources` differ from the current ones.
  void set(std::vector<platform::Ipv4> sources);

  // Set after every change; only the pair's forwarder waits on it.
  platform::Event changed{platform::Event::Reset::Auto};

 private:
  mutable std::mutex lock_;
  std::vector<platform::Ipv4> sources_;  // network order
};

struct ForwarderContext {
  platform::Ipv4 group = 0;  // network order
  platform::Ipv4 host = 0;   // network order
  std::shared_ptr<platform::Event> pairStop;
  std::shared_ptr<ForwarderShared> shared;
  // Empty (or none at all) for every source of the group.
  std::shared_ptr<WantedSources> sources;
};

// The UDP destination port (host order) of one sniffed IPv4 packet, or
// nothing when the packet does not tell it: it must be UDP to `group`
// (network order), received up to its total length, and not a later
// fragment (those carry no UDP header).
std::optional<std::uint16_t> sniffedUdpPort(std::span<const unsigned char> packet,
                                            platform::Ipv4 group);

// The forwarder thread's body; returns when the pair's stop event or the
// snooper's is set, or on a socket failure (reported on the console). It
// returns at once, silently, for a host outside `shared->lan` or a group
// that is not forwarded: the snooper never starts such a pair.
void runForwarder(ForwarderContext context);

}  // namespace relay
