// Answers media centers looking for network tuners on the LAN: one thread
// with one UDP socket on port 65001.
//
// Requests come as broadcasts (255.255.255.255 or the subnet's) as well as
// unicast, and Linux hands broadcasts only to a socket bound to the
// any-address: so the socket is bound there, and a datagram counts only when
// it arrived on -li's interface, for -li's address or a broadcast address,
// from a unicast host of -li's subnet (and of --allow, when given). The reply goes by unicast to
// the sender's address and port, from -li's address.
//
// A sender names itself by a source address it may forge, and the reply is
// several times the request's size: replies are rationed per source address
// and in all (ReplyBudget), so a flood gets a few answers and then silence
// while every other host is still answered.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <thread>
#include <unordered_map>
#include <vector>

#include "common/line_writer.h"
#include "platform/event.h"
#include "platform/lan_subnet.h"
#include "platform/socket.h"
#include "relay/tuner/discovery_packet.h"

namespace relay {

// Token buckets of replies, one per source address and one for all, each
// kept as the time its bucket would be full again (the bucket is empty
// `burst` intervals before that).
class ReplyBudget {
 public:
  struct Limits {
    std::int64_t sourceIntervalMs = 500;  // 2 replies a second per source ...
    int sourceBurst = 4;                  // ... after 4 at once
    std::int64_t allIntervalMs = 20;      // 50 a second in all ...
    int allBurst = 50;                    // ... after 50 at once
    std::size_t mostSources = 256;        // sources remembered
  };

  ReplyBudget() = default;
  explicit ReplyBudget(const Limits& limits) : limits_(limits) {}

  // Whether a reply to `source` may go at `nowMs` (monotonic); takes it
  // from both buckets when it may. A source not in the table starts full;
  // when the table is full, the source whose bucket is nearest full is
  // forgotten for it.
  bool allow(platform::Ipv4 source, std::int64_t nowMs);

  std::size_t sourcesKept() const { return sources_.size(); }

 private:
  // Takes one from the bucket whose full time is `fullAt`: false, and
  // nothing taken, when it is empty.
  static bool take(std::int64_t& fullAt, std::int64_t nowMs, std::int64_t intervalMs, int burst);
  void makeRoom(std::int64_t nowMs);

  Limits limits_;
  std::int64_t allFullAt_ = 0;
  std::unordered_map<platform::Ipv4, std::int64_t> sources_;
};

class TunerDiscoveryResponder {
 public:
  // Nothing is opened yet. `console` gets the lines of a failure. Only the
  // LAN hosts `allow` contains (--allow; empty: all) are answered.
  TunerDiscoveryResponder(platform::Ipv4 listenAddress, const TunerIdentity& tuner,
                          common::LineWriter console, platform::AddressList allow = {},
                          const ReplyBudget::Limits& limits = ReplyBudget::Limits());
  // Stops first when the owner has not.
  ~TunerDiscoveryResponder();
  TunerDiscoveryResponder(const TunerDiscoveryResponder&) = delete;
  TunerDiscoveryResponder& operator=(const TunerDiscoveryResponder&) = delete;

  // Opens the socket on `port` and starts answering; false, after one
  // console line, when the socket or the thread cannot be had (the relay
  // runs on without tuner discovery).
  bool start(std::uint16_t port = kTunerDiscoveryPort);
  // Ends the thread and closes the socket.
  void stop();

 private:
  void receiveThread();
  // Whether a datagram from `peer` that arrived on `interfaceIndex` for
  // `destination` is a LAN host's, sent to this relay.
  bool accepted(const sockaddr_in& peer, int interfaceIndex, platform::Ipv4 destination) const;
  void reply(const sockaddr_in& peer);

  const platform::Ipv4 host_;
  const std::vector<std::uint8_t> reply_;
  const std::uint32_t deviceId_;
  const common::LineWriter console_;
  const platform::AddressList allow_;
  platform::LanSubnet lan_;
  platform::Ipv4 subnetBroadcast_ = 0;
  int interfaceIndex_ = 0;
  ReplyBudget budget_;  // the thread's only

  platform::Socket socket_;
  platform::Event stop_{platform::Event::Reset::Manual};
  std::thread thread_;
};

}  // namespace relay
