// The active (host, group) pairs of the snooper, each with its forwarder
// thread, and the rules that start, refresh, lapse and end them.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "platform/event.h"
#include "platform/socket.h"
#include "relay/igmp/igmp_packet.h"
#include "relay/igmp/lan_rules.h"
#include "relay/igmp/multicast_forwarder.h"

namespace relay {

// What a pair's forwarder thread runs: runForwarder in the programs.
using ForwarderBody = std::function<void(ForwarderContext)>;
// The snooper's clock, in whole seconds.
using SecondsClock = std::function<std::int64_t()>;

inline constexpr std::int64_t kPairLifetimeSeconds = 260;
// A report refreshes a pair once it is more than 23 s old.
inline constexpr std::int64_t kRefreshAfterSeconds = 23;
inline constexpr std::int64_t kLapseAfterExpirySeconds = 10;
inline constexpr std::int64_t kDueBeforeExpirySeconds = 11;
inline constexpr int kDueCheckSeconds = 10;
inline constexpr int kIdleCheckSeconds = 260;
// Every pair costs two threads and about seven descriptors, so one LAN host
// reporting hundreds of groups would exhaust the process. Beyond these a
// join is refused until a pair ends; the host's next report tries again.
// A host is counted by its IP address and, apart, by its link-layer
// address: one machine writing many source addresses is still one host.
inline constexpr std::size_t kMostGroupsPerHost = 32;
inline constexpr std::size_t kMostPairs = 256;
// An include-mode host names the sources it wants; each is a receiver with
// its own membership, socket and thread on the receiving side. Sources past
// these are ignored; a new pair left with none is refused.
inline constexpr std::size_t kMostSourcesPerPair = 8;
inline constexpr std::size_t kMostSources = 512;  // of all pairs together
// Refused (host, group) pairs whose line was written, so that a host's
// repeated reports do not repeat it. When this many are remembered, further
// refusals are written nowhere until old ones are forgotten.
inline constexpr std::size_t kMostRefusalsRemembered = 1024;

// One step of the querier's group check.
struct GroupCheck {
  std::optional<platform::Ipv4> group;  // to be queried now
  std::optional<int> nextWaitSeconds;   // set when the due groups were collected
};

// The active (host, group) pairs, each with its forwarder thread, and the
// rules that start, refresh and end them. Every member takes the table lock.
// A removed pair's thread is only signalled under the lock; it is joined
// outside it (joinFinished, stopAll), since a forwarder may take a while to
// end.
class MembershipTable {
 public:
  struct PairView {
    platform::Ipv4 host;
    platform::Ipv4 group;
    std::int64_t expiry;
    std::vector<platform::Ipv4> sources;  // forwarded from; none for every source
  };

  MembershipTable(std::shared_ptr<ForwarderShared> shared, SecondsClock now, ForwarderBody body);
  // Stops and joins every forwarder.
  ~MembershipTable();
  MembershipTable(const MembershipTable&) = delete;
  MembershipTable& operator=(const MembershipTable&) = delete;

  // A join or leave of `host`, sent from link-layer address `link`, with
  // its console and log lines. A leave ends that host's pair at once,
  // whatever other hosts of the group do. Changes of groups that are not
  // forwarded are ignored, silently, as are sources that cannot send (see
  // isForwardedSource) and those past kMostSourcesPerPair; an include-mode
  // change left with no source is a leave. The pair's forwarder follows
  // the sources its host wants from then on.
  void apply(platform::Ipv4 host, const GroupChange& change, LinkAddress link = kNoLinkAddress);

  // Removes the lapsed pairs (silently) and adds the groups due for a
  // group query to `pending`, sorted and once each. The next check's wait
  // in seconds.
  int collectDueGroups(std::vector<platform::Ipv4>& pending);
  // Picks the next group to query, collecting the due groups first when
  // `pending` is empty, and writes its lines.
  GroupCheck nextGroupQuery(std::vector<platform::Ipv4>& pending);

  // Joins the forwarders of removed pairs that have ended.
  void joinFinished();
  // Signals every forwarder and joins them all; the table takes no new
  // pairs afterwards.
  void stopAll();

  std::vector<PairView> pairs() const;
  // Removed pairs whose forwarder has not been joined yet.
  std::size_t retiredCount() const;

 private:
  struct Pair {
    platform::Ipv4 host = 0;
    platform::Ipv4 group = 0;
    LinkAddress link = kNoLinkAddress;  // of the report that started the pair
    std::shared_ptr<platform::Event> stop;
    std::thread thread;
    std::atomic<bool> finished{false};
    std::int64_t expiry = 0;
    // Include mode: the host wants only `sources`; otherwise any source.
    bool includeMode = false;
    std::vector<platform::Ipv4> sources;
    // What the forwarder follows: `sources` in include mode, else none.
    std::shared_ptr<WantedSources> wanted;
  };

  struct Refusal {
    platform::Ipv4 host;
    platform::Ipv4 group;
    std::int64_t lastHeard;
  };

  void join(platform::Ipv4 host, const GroupChange& change, LinkAddress link);
  void leave(platform::Ipv4 host, platform::Ipv4 group);
  // A host's include-mode sources blocked; a leave when none is left.
  void block(platform::Ipv4 host, const GroupChange& change);
  bool full(platform::Ipv4 host, LinkAddress link) const;
  // How many sources a pair now holding `own` may have.
  std::size_t sourceRoom(const std::vector<platform::Ipv4>& own) const;
  void refuse(platform::Ipv4 host, platform::Ipv4 group, std::int64_t now);
  void forgetRefusal(platform::Ipv4 host, platform::Ipv4 group);
  int collectLocked(std::vector<platform::Ipv4>& pending);
  void retire(std::list<Pair>::iterator pair);

  const std::shared_ptr<ForwarderShared> shared_;
  const SecondsClock now_;
  const ForwarderBody body_;

  mutable std::mutex lock_;
  std::list<Pair> pairs_;
  std::list<Pair> retired_;
  std::vector<Refusal> refused_;
  bool closed_ = false;
};

}  // namespace relay
