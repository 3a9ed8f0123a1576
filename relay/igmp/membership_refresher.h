// Reports the relay's own memberships upstream again, on a timer (--rejoin).
// The kernel reports a membership when it joins and when it is queried; where
// no querier's queries reach the relay, a snooping switch upstream drops the
// membership after its time-out and the group stops mid-stream. Reporting
// each group again keeps it, without a leave and join that would cut every
// client of the group.
#pragma once

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "common/line_writer.h"
#include "platform/event.h"
#include "platform/socket.h"
#include "relay/igmp/igmp_packet.h"

namespace relay {

struct RefresherSettings {
  // The receiving interface's address (network order): the reports leave
  // by it, from it.
  platform::Ipv4 interfaceAddress = 0;
  // When not 0, the interface by index instead (-ri by name): the reports
  // leave from whatever address it holds at the time.
  int interfaceIndex = 0;
  // Between two rounds of reports.
  int periodMs = 0;
  // The memberships held at the moment, asked once a round.
  std::function<std::vector<HeldMembership>()> memberships;
  common::LineWriter console;  // one console line per call
};

class MembershipRefresher {
 public:
  explicit MembershipRefresher(RefresherSettings settings);
  // Stops first when the owner has not.
  ~MembershipRefresher();
  MembershipRefresher(const MembershipRefresher&) = delete;
  MembershipRefresher& operator=(const MembershipRefresher&) = delete;

  // Opens the raw IGMP socket (CAP_NET_RAW) and starts the thread; false,
  // after one console line, when either fails.
  bool start();
  // Ends the thread at once, a round under way too.
  void stop();

 private:
  void refreshThread();
  // Sends one round; false when the stop came during it.
  bool sendRound(bool& failing);
  void say(const std::string& line) const;

  const RefresherSettings settings_;
  platform::Socket socket_;
  platform::Event stop_{platform::Event::Reset::Manual};
  std::thread thread_;
};

}  // namespace relay
