#include "relay/app/status_page.h"

#include "relay/stream/ts_probe.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace relay {
namespace {

TEST(StatusPage, JoinsThePlaylistStreamsAndGroupCounters) {
  auto playlist = std::make_shared<ChannelList>();
  playlist->loadText(
      "#EXTM3U\n#EXTINF:1,News \"24\"\nudp://@239.1.1.1:5000\n#EXTINF:2,Films\n"
      "udp://@239.1.1.2:5000\n");
  StreamRegistry registry;
  auto received = std::make_shared<ReceiveCounters>();
  received->datagrams = 100;
  received->bytes = 131600;
  received->ccErrors = 2;
  received->rtpGaps = 1;
  auto sent = std::make_shared<SendCounters>();
  sent->bytes = 125000;
  sent->format = int(StreamFormat::Rtp);
  RegisteredReceiver stream;
  stream.peer = inet_addr("198.18.2.2");
  stream.peerPort = 40000;
  stream.group = inet_addr("239.1.1.1");
  stream.port = 5000;
  stream.startedMs = 1000;
  stream.received = received;
  stream.sent = sent;
  // An ended stream of the same group adds to its totals.
  { const auto ended = registry.add(stream); }
  const auto running = registry.add(stream);

  StatusSources sources;
  sources.playlist = playlist;
  sources.logText = [] { return std::string("00:00:01 first\r\n00:00:02 second\r\n"); };
  const StatusSnapshot status = buildStatus(sources, registry.snapshot(11000), 11000, 1700000000);

  ASSERT_EQ(status.channels.size(), 2u);
  EXPECT_EQ(status.channels[0].watchers, 1u);
  EXPECT_EQ(status.channels[1].watchers, 0u);
  ASSERT_EQ(status.streams.size(), 1u);
  EXPECT_EQ(status.streams[0].client, "198.18.2.2:40000");
  EXPECT_EQ(status.streams[0].seconds, 10);
  EXPECT_EQ(status.streams[0].bitRate, 100000u);  // 125000 bytes in 10 s
  EXPECT_EQ(status.streams[0].format, "rtp");

  const std::string json = statusJson(status);
  for (const char* part :
       {"\"title\":\"News \\\"24\\\"\"", "\"client\":\"198.18.2.2:40000\"", "\"format\":\"rtp\"",
        "\"datagrams\":200,\"bytes\":263200,\"cc_errors\":4,\"rtp_gaps\":2", "\"receivers\":1",
        "\"log\":[\"00:00:01 first\",\"00:00:02 second\"]"}) {
    EXPECT_NE(json.find(part), std::string::npos) << part << "\n" << json;
  }
  const std::string metrics = statusMetrics(status);
  for (const char* part :
       {"# TYPE tessaran_group_cc_errors_total counter\n", "tessaran_streams 1\n",
        "tessaran_group_datagrams_total{group=\"239.1.1.1\",port=\"5000\"} 200\n",
        "tessaran_group_rtp_gaps_total{group=\"239.1.1.1\",port=\"5000\"} 2\n"}) {
    EXPECT_NE(metrics.find(part), std::string::npos) << part << "\n" << metrics;
  }
}

// Clients of one group share its receiver's counters: the group's totals
// count them once, while any of the clients runs and after the last left.
TEST(StreamRegistry, ClientsSharingAReceiverCountItOnce) {
  StreamRegistry registry;
  auto received = std::make_shared<ReceiveCounters>();
  received->datagrams = 100;
  RegisteredReceiver client;
  client.group = inet_addr("239.1.1.1");
  client.port = 5000;
  client.received = received;
  const auto totals = [&registry] {
    const StreamRegistry::Snapshot snapshot = registry.snapshot(1000);
    EXPECT_EQ(snapshot.groups.size(), 1u);
    return std::pair(snapshot.groups.at(0).datagrams, snapshot.groups.at(0).receivers);
  };
  auto first = registry.add(client);
  {
    const auto second = registry.add(client);
    EXPECT_EQ(totals(), std::pair(std::uint64_t(100), std::uint32_t(2)));
  }
  EXPECT_EQ(totals(), std::pair(std::uint64_t(100), std::uint32_t(1)));
  first = StreamRegistry::Registration();
  EXPECT_EQ(totals(), std::pair(std::uint64_t(100), std::uint32_t(0)));
}

}  // namespace
}  // namespace relay
