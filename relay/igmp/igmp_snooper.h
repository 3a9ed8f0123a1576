// The IGMP snooper: hears the membership reports and leaves of the
// listening interface, keeps the table of (host, group) pairs with a
// forwarder each, and queries the hosts so that they keep reporting.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "common/line_writer.h"
#include "platform/address_list.h"
#include "platform/socket.h"
#include "relay/igmp/membership_table.h"

namespace relay {

struct SnooperSettings {
  platform::Ipv4 listenAddress = 0;   // network order
  std::uint16_t forwardPort = 0;      // host order
  platform::Ipv4 receiveAddress = 0;  // network order
  int receiveInterfaceIndex = 0;      // -ri by name; 0: by receiveAddress
  // --allow: the LAN hosts whose reports are believed; empty: all of them.
  platform::AddressList allow;
  common::LineWriter console;  // one console line per call
  common::LineWriter log;      // one RelayLog line per call
  // Test-only: the snooper's clock runs this many times faster (every time
  // and every wait shrinks alike), so refresh, group queries and lapse can
  // be seen in seconds. 1 in the programs.
  int clockScale = 1;
};

class IgmpSnooper {
 public:
  explicit IgmpSnooper(SnooperSettings settings);
  // Test-only: pairs run `body` instead of the forwarder.
  IgmpSnooper(SnooperSettings settings, ForwarderBody body);
  // Stops first when the owner has not.
  ~IgmpSnooper();
  IgmpSnooper(const IgmpSnooper&) = delete;
  IgmpSnooper& operator=(const IgmpSnooper&) = delete;

  // Starts the listener and the querier.
  void start();
  // Ends every snooper thread and every forwarder.
  void stop();

  std::vector<MembershipTable::PairView> pairs() const;

  struct PairStatus {
    platform::Ipv4 host;
    platform::Ipv4 group;
    std::int64_t secondsToLapse;  // real seconds until the pair is dropped unreported
  };
  std::vector<PairStatus> pairStatus() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace relay
