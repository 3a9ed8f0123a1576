// What the relay is doing, for the status pages: the playlist with who
// watches each channel, the running streams, the snooper's pairs, the
// received groups' counters and the end of the event log. Collected from
// the stream registry at each request, then written as an HTML page, as
// JSON, or in the Prometheus text format.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "relay/igmp/igmp_snooper.h"
#include "relay/stream/stream_registry.h"
#include "relay/upnp/channel_list.h"
#include "relay/upnp/guide.h"

namespace relay {

inline constexpr std::size_t kStatusLogLines = 20;
inline constexpr int kStatusRefreshSeconds = 5;

// Requests and connections refused since the start, by reason: the
// engine's (a host not in --allow, one past --max-connections-per-host, a
// request head that came too slowly) and the relay's own (a command or
// status page from a host not in --admin-allow, a stream or list without
// the token, a stream past --max-clients).
struct RefusalCounts {
  std::uint64_t allowList = 0;
  std::uint64_t perHost = 0;
  std::uint64_t slowHead = 0;
  std::uint64_t admin = 0;
  std::uint64_t token = 0;
  std::uint64_t maxClients = 0;
};

struct StatusSnapshot {
  struct ChannelRow {
    std::uint32_t number = 0;  // kUnnumbered when the playlist has none
    std::string title;
    std::string group;
    std::uint16_t port = 0;
    std::uint32_t watchers = 0;
    NowAndNext programmes = {};  // on air and next, when there is a guide
    std::string source = {};     // the playlist's, as written; empty for any sender
  };
  struct StreamRow {
    std::string client;  // address:port
    std::string title;   // empty when the playlist does not know the group
    std::string group;
    std::uint16_t port = 0;
    std::int64_t startedUnix = 0;
    std::int64_t seconds = 0;
    std::uint64_t bytesSent = 0;
    std::uint64_t bitRate = 0;
    std::string format;       // plain, 192-byte, rtp, or empty before the probe
    std::string source = {};  // empty for any sender
  };
  struct PairRow {
    std::string host;
    std::string group;
    std::uint16_t port = 0;  // 0 until the forwarder knows it
    std::uint64_t datagrams = 0;
    std::uint64_t bytes = 0;
    std::int64_t secondsToLapse = 0;
  };
  struct GroupRow {
    std::string group;
    std::uint16_t port = 0;
    std::uint32_t receivers = 0;
    std::uint64_t datagrams = 0;
    std::uint64_t bytes = 0;
    std::uint64_t ccErrors = 0;
    std::uint64_t rtpGaps = 0;
    std::string source = {};  // empty for any sender
    // What the RTP reorder window did.
    std::uint64_t rtpReordered = 0;
    std::uint64_t rtpDuplicates = 0;
    std::uint64_t rtpLost = 0;
  };

  std::string version;
  std::int64_t nowUnix = 0;
  std::int64_t uptimeSeconds = 0;
  bool snooper = false;
  bool guide = false;  // the channel rows carry their programmes
  std::vector<ChannelRow> channels;
  std::vector<StreamRow> streams;
  std::vector<PairRow> pairs;
  std::vector<GroupRow> groups;
  std::vector<std::string> log;  // oldest first
  RefusalCounts refusals = {};
};

// Where the status comes from; any part may be missing.
struct StatusSources {
  std::int64_t startMs = 0;  // monotonic
  std::shared_ptr<const ChannelList> playlist;
  std::function<std::vector<IgmpSnooper::PairStatus>()> pairs;  // empty without the snooper
  std::function<std::string()> logText;
  // A channel's programmes by its position in the playlist; empty without a guide.
  std::function<NowAndNext(std::size_t listIndex, std::int64_t nowUnix)> programmes;
};

StatusSnapshot collectStatus(const StatusSources& sources, StreamRegistry& registry);
// The same from a registry snapshot taken at `nowMs` and `nowUnix`.
StatusSnapshot buildStatus(const StatusSources& sources, const StreamRegistry::Snapshot& live,
                           std::int64_t nowMs, std::int64_t nowUnix);

// A row with a source shows "source@group:port" (HTML), a "source" member
// before "group" (JSON) and a source label (metrics); one without shows
// none of them.
std::string statusJson(const StatusSnapshot& status);
std::string statusMetrics(const StatusSnapshot& status);
std::string statusHtml(const StatusSnapshot& status);

}  // namespace relay
