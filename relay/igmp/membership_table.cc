#include "relay/igmp/membership_table.h"

#include <arpa/inet.h>

#include <algorithm>
#include <string>
#include <string_view>

#include "platform/thread.h"

namespace relay {
namespace {

using platform::Ipv4;
using platform::ipv4Text;

constexpr std::string_view kStarting = "Igmp snooper: Starting proxying multicast group ";
constexpr std::string_view kStopping = "Igmp snooper: Stopping proxying multicast group ";
constexpr std::string_view kToHost = " to host ";
constexpr std::string_view kHostConsole = "Igmp snooper: Host  ";
constexpr std::string_view kHostLog = "Igmp snooper: Host ";
constexpr std::string_view kRespondedFor = " responded to query for ";
constexpr std::string_view kTooMany = "Igmp snooper: Too many groups for host ";
constexpr std::string_view kNotForwarded = " not forwarded";
constexpr std::string_view kGroupQuery = "Igmp snooper: Sending query for group ";
constexpr std::string_view kGroupQueryCollected = "Igmp snooper: Sending query for group  ";

std::string pairText(std::string_view start, Ipv4 first, std::string_view middle, Ipv4 second) {
  return std::string(start) + ipv4Text(first) + std::string(middle) + ipv4Text(second);
}

}  // namespace

MembershipTable::MembershipTable(std::shared_ptr<ForwarderShared> shared, SecondsClock now,
                                 ForwarderBody body)
    : shared_(std::move(shared)), now_(std::move(now)), body_(std::move(body)) {}

MembershipTable::~MembershipTable() {
  stopAll();
}

void MembershipTable::apply(Ipv4 host, const GroupChange& reported, LinkAddress link) {
  // A unicast "group" would have the forwarder receive on that address:
  // whatever is sent there, the relay's own address included, would go to
  // the reporting host.
  if (!isForwardedGroup(reported.group)) return;
  // Likewise a "source" that is the relay's loopback or a group: only
  // senders a source-specific membership can name are believed.
  GroupChange change = reported;
  std::erase_if(change.sources, [](Ipv4 source) { return !isForwardedSource(source); });
  if (change.filter != SourceFilter::Any && change.sources.empty()) {
    // A host that wants only sources the relay does not receive from has
    // left; allowing or blocking none of them changes nothing.
    if (change.filter != SourceFilter::Only) return;
    change.join = false;
    change.filter = SourceFilter::Any;
  }
  std::lock_guard<std::mutex> hold(lock_);
  if (closed_) return;
  if (change.join) {
    join(host, change, link);
  } else if (change.filter == SourceFilter::Without) {
    block(host, change);
  } else {
    leave(host, change.group);
  }
}

namespace {

// Adds `more` to `sources`, each once, up to `most` in all.
void addSources(std::vector<Ipv4>& sources, const std::vector<Ipv4>& more, std::size_t most) {
  for (const Ipv4 source : more) {
    if (sources.size() >= most) return;
    if (std::find(sources.begin(), sources.end(), source) == sources.end()) {
      sources.push_back(source);
    }
  }
}

// The sources a pair's host wants after `change`, `most` of them at most.
void applySources(bool& includeMode, std::vector<Ipv4>& sources, const GroupChange& change,
                  std::size_t most) {
  switch (change.filter) {
    case SourceFilter::Any:
      includeMode = false;
      sources.clear();
      break;
    case SourceFilter::Only:
      includeMode = true;
      sources.clear();
      addSources(sources, change.sources, most);
      break;
    case SourceFilter::Also:
      // Added to an include-mode list; in exclude mode every source is wanted
      // already.
      if (includeMode) addSources(sources, change.sources, most);
      break;
    case SourceFilter::Without:
      if (!includeMode) break;
      std::erase_if(sources, [&](Ipv4 source) {
        return std::find(change.sources.begin(), change.sources.end(), source) !=
               change.sources.end();
      });
      break;
  }
}

// What a pair's forwarder follows: its include-mode sources, or none for
// every source.
std::vector<Ipv4> forwardedSources(bool includeMode, const std::vector<Ipv4>& sources) {
  return includeMode ? sources : std::vector<Ipv4>();
}

}  // namespace

void MembershipTable::block(Ipv4 host, const GroupChange& change) {
  const auto found = std::find_if(pairs_.begin(), pairs_.end(), [&](const Pair& pair) {
    return pair.host == host && pair.group == change.group;
  });
  if (found == pairs_.end() || !found->includeMode) return;
  applySources(found->includeMode, found->sources, change, kMostSourcesPerPair);
  if (found->sources.empty()) {
    leave(host, change.group);
    return;
  }
  found->wanted->set(found->sources);
}

void MembershipTable::join(Ipv4 host, const GroupChange& change, LinkAddress link) {
  const Ipv4 group = change.group;
  const std::int64_t now = now_();
  const auto found = std::find_if(pairs_.begin(), pairs_.end(), [&](const Pair& pair) {
    return pair.host == host && pair.group == group;
  });
  if (found != pairs_.end()) {
    applySources(found->includeMode, found->sources, change, sourceRoom(found->sources));
    if (found->includeMode && found->sources.empty()) {
      // Every source it wants now is past the bound of all pairs.
      leave(host, group);
      return;
    }
    found->wanted->set(forwardedSources(found->includeMode, found->sources));
    // Repeated reports right after a join are absorbed; a later one is the
    // host answering a query.
    if (now <= found->expiry - (kPairLifetimeSeconds - kRefreshAfterSeconds)) return;
    found->expiry = now + kPairLifetimeSeconds;
    // The console's line has two blanks after "Host".
    shared_->report(Report{pairText(kHostConsole, host, kRespondedFor, group) + " ",
                           pairText(kHostLog, host, kRespondedFor, group)});
    return;
  }
  // A new member by an allow record was in include mode with no source.
  bool includeMode = change.filter == SourceFilter::Also;
  std::vector<Ipv4> sources;
  applySources(includeMode, sources, change, sourceRoom(sources));
  if (full(host, link) || (includeMode && sources.empty())) {
    refuse(host, group, now);
    return;
  }
  forgetRefusal(host, group);

  Pair& pair = pairs_.emplace_back();
  pair.host = host;
  pair.group = group;
  pair.link = link;
  pair.stop = std::make_shared<platform::Event>(platform::Event::Reset::Manual);
  pair.expiry = now + kPairLifetimeSeconds;
  pair.includeMode = includeMode;
  pair.sources = std::move(sources);
  pair.wanted = std::make_shared<WantedSources>(forwardedSources(pair.includeMode, pair.sources));
  ForwarderContext context{group, host, pair.stop, shared_, pair.wanted};
  const int error = platform::startJoinable(
      pair.thread, [body = body_, context = std::move(context), finished = &pair.finished] {
        body(context);
        finished->store(true);
      });
  if (error != 0) {
    // No forwarder, no pair: the host's next report tries again.
    pairs_.pop_back();
    return;
  }
  shared_->report(Report::blankOnConsole(pairText(kStarting, group, kToHost, host)));
}

bool MembershipTable::full(Ipv4 host, LinkAddress link) const {
  // Removed pairs count until their forwarder has been joined: their
  // threads and sockets are still there.
  if (pairs_.size() + retired_.size() >= kMostPairs) return true;
  const auto ofHost = std::count_if(pairs_.begin(), pairs_.end(),
                                    [&](const Pair& pair) { return pair.host == host; });
  if (std::size_t(ofHost) >= kMostGroupsPerHost) return true;
  if (link == kNoLinkAddress) return false;
  const auto ofLink = std::count_if(pairs_.begin(), pairs_.end(),
                                    [&](const Pair& pair) { return pair.link == link; });
  return std::size_t(ofLink) >= kMostGroupsPerHost;
}

std::size_t MembershipTable::sourceRoom(const std::vector<Ipv4>& own) const {
  // Removed pairs count until their forwarder has been joined: their
  // receivers are still there.
  std::size_t held = 0;
  for (const std::list<Pair>* list : {&pairs_, &retired_}) {
    for (const Pair& pair : *list) held += pair.sources.size();
  }
  const std::size_t others = held - own.size();
  return others >= kMostSources ? 0 : std::min(kMostSourcesPerPair, kMostSources - others);
}

void MembershipTable::refuse(Ipv4 host, Ipv4 group, std::int64_t now) {
  const auto found = std::find_if(refused_.begin(), refused_.end(), [&](const Refusal& r) {
    return r.host == host && r.group == group;
  });
  if (found != refused_.end()) {
    found->lastHeard = now;
    return;
  }
  // Not reported for as long as a pair lives: the host has left the group
  // or gone, and a later refusal is news again.
  std::erase_if(refused_,
                [&](const Refusal& r) { return r.lastHeard < now - kPairLifetimeSeconds; });
  if (refused_.size() >= kMostRefusalsRemembered) return;
  refused_.push_back(Refusal{host, group, now});
  shared_->report(Report::both(std::string(kTooMany) + ipv4Text(host) + ", group " +
                               ipv4Text(group) + std::string(kNotForwarded)));
}

void MembershipTable::forgetRefusal(Ipv4 host, Ipv4 group) {
  std::erase_if(refused_, [&](const Refusal& r) { return r.host == host && r.group == group; });
}

void MembershipTable::leave(Ipv4 host, Ipv4 group) {
  forgetRefusal(host, group);
  const auto found = std::find_if(pairs_.begin(), pairs_.end(), [&](const Pair& pair) {
    return pair.host == host && pair.group == group;
  });
  if (found == pairs_.end()) return;
  retire(found);
  shared_->report(Report::blankOnConsole(pairText(kStopping, group, kToHost, host)));
}

void MembershipTable::retire(std::list<Pair>::iterator pair) {
  pair->stop->set();
  retired_.splice(retired_.end(), pairs_, pair);
}

int MembershipTable::collectDueGroups(std::vector<Ipv4>& pending) {
  std::lock_guard<std::mutex> hold(lock_);
  return collectLocked(pending);
}

int MembershipTable::collectLocked(std::vector<Ipv4>& pending) {
  const std::int64_t now = now_();
  for (auto pair = pairs_.begin(); pair != pairs_.end();) {
    const auto next = std::next(pair);
    if (pair->expiry < now - kLapseAfterExpirySeconds) {
      retire(pair);
    } else if (pair->expiry < now + kDueBeforeExpirySeconds) {
      pending.push_back(pair->group);
    }
    pair = next;
  }
  if (pending.empty()) return kIdleCheckSeconds;
  // In address order; a group with several hosts is queried once.
  const auto order = [](Ipv4 a, Ipv4 b) { return ntohl(a) < ntohl(b); };
  std::sort(pending.begin(), pending.end(), order);
  pending.erase(std::unique(pending.begin(), pending.end()), pending.end());
  return kDueCheckSeconds;
}

GroupCheck MembershipTable::nextGroupQuery(std::vector<Ipv4>& pending) {
  std::lock_guard<std::mutex> hold(lock_);
  GroupCheck check;
  if (pending.empty()) {
    check.nextWaitSeconds = collectLocked(pending);
    if (pending.empty()) return check;
  }
  const Ipv4 group = pending.front();
  pending.erase(pending.begin());
  check.group = group;
  // The log's line has two blanks after "group" when the due groups were
  // just collected.
  shared_->report(Report{
      std::string(kGroupQuery) + ipv4Text(group) + " ",
      std::string(check.nextWaitSeconds ? kGroupQueryCollected : kGroupQuery) + ipv4Text(group)});
  return check;
}

void MembershipTable::joinFinished() {
  std::list<Pair> ended;
  {
    std::lock_guard<std::mutex> hold(lock_);
    for (auto pair = retired_.begin(); pair != retired_.end();) {
      const auto next = std::next(pair);
      if (pair->finished) ended.splice(ended.end(), retired_, pair);
      pair = next;
    }
  }
  for (Pair& pair : ended) {
    if (pair.thread.joinable()) pair.thread.join();
  }
}

void MembershipTable::stopAll() {
  std::list<Pair> all;
  {
    std::lock_guard<std::mutex> hold(lock_);
    closed_ = true;
    for (Pair& pair : pairs_) pair.stop->set();
    all.splice(all.end(), retired_);
    all.splice(all.end(), pairs_);
  }
  for (Pair& pair : all) {
    if (pair.thread.joinable()) pair.thread.join();
  }
}

std::vector<MembershipTable::PairView> MembershipTable::pairs() const {
  std::lock_guard<std::mutex> hold(lock_);
  std::vector<PairView> views;
  for (const Pair& pair : pairs_) {
    views.push_back(PairView{pair.host, pair.group, pair.expiry,
                             forwardedSources(pair.includeMode, pair.sources)});
  }
  return views;
}

std::size_t MembershipTable::retiredCount() const {
  std::lock_guard<std::mutex> hold(lock_);
  return retired_.size();
}

}  // namespace relay
