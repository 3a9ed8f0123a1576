#include "relay/app/status_page.h"

#include "common/utf8.h"
#include "relay/app/url_routing.h"
#include "relay/stream/ts_probe.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>

namespace relay {
namespace {

TEST(StatusPage, JoinsThePlaylistStreamsAndGroupCounters) {
  auto playlist = std::make_shared<ChannelList>();
  playlist->loadText(
      "#EXTM3U\n#EXTINF:1,News \"24\"\nudp://@239.1.1.1:5000\n#EXTINF:2,Films\n"
      "udp://@239.1.1.2:5000\n#EXTINF:3,News one sender\nudp://198.18.1.1@239.1.1.1:5000\n");
  StreamRegistry registry;
  auto received = std::make_shared<ReceiveCounters>();
  received->datagrams = 100;
  received->bytes = 131600;
  received->ccErrors = 2;
  received->rtpGaps = 1;
  received->rtpReordered = 3;
  received->rtpDuplicates = 2;
  received->rtpLost = 1;
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
  // The same group from one sender: its own receiver, row and totals.
  RegisteredReceiver fromOne = stream;
  fromOne.source = inet_addr("198.18.1.1");
  auto receivedFromOne = std::make_shared<ReceiveCounters>();
  receivedFromOne->datagrams = 7;
  fromOne.received = receivedFromOne;
  const auto runningFromOne = registry.add(fromOne);

  StatusSources sources;
  sources.playlist = playlist;
  sources.logText = [] { return std::string("00:00:01 first\r\n00:00:02 second\r\n"); };
  StatusSnapshot status = buildStatus(sources, registry.snapshot(11000), 11000, 1700000000);
  status.refusals = {1, 2, 3, 4, 5, 0};

  ASSERT_EQ(status.channels.size(), 3u);
  EXPECT_EQ(status.channels[0].watchers, 1u);
  EXPECT_EQ(status.channels[1].watchers, 0u);
  EXPECT_EQ(status.channels[2].watchers, 1u);
  ASSERT_EQ(status.streams.size(), 2u);
  EXPECT_EQ(status.streams[1].title, "News one sender");
  EXPECT_EQ(status.streams[0].client, "198.18.2.2:40000");
  EXPECT_EQ(status.streams[0].seconds, 10);
  EXPECT_EQ(status.streams[0].bitRate, 100000u);  // 125000 bytes in 10 s
  EXPECT_EQ(status.streams[0].format, "rtp");

  const std::string json = statusJson(status);
  for (const char* part :
       {"\"title\":\"News \\\"24\\\"\"", "\"client\":\"198.18.2.2:40000\"", "\"format\":\"rtp\"",
        "\"datagrams\":200,\"bytes\":263200,\"cc_errors\":4,\"rtp_gaps\":2",
        "\"rtp_reordered\":6,\"rtp_duplicates\":4,\"rtp_lost\":2", "\"receivers\":1",
        "\"log\":[\"00:00:01 first\",\"00:00:02 second\"]",
        "\"title\":\"Films\",\"group\":\"239.1.1.2\",\"port\":5000",
        "\"title\":\"News one sender\",\"source\":\"198.18.1.1\",\"group\":\"239.1.1.1\"",
        "\"source\":\"198.18.1.1\",\"group\":\"239.1.1.1\",\"port\":5000,\"receivers\":1,"
        "\"datagrams\":7,",
        "\"refusals\":{\"allow_list\":1,\"per_host\":2,\"slow_head\":3,\"admin\":4,"
        "\"token\":5,\"max_clients\":0}}"}) {
    EXPECT_NE(json.find(part), std::string::npos) << part << "\n" << json;
  }
  const std::string html = statusHtml(status);
  for (const char* part : {"<td>198.18.1.1@239.1.1.1:5000</td>", "<td>239.1.1.1:5000</td>",
                           "News one sender<br><small>198.18.1.1@239.1.1.1:5000</small>",
                           "<td>198.18.1.1@239.1.1.1:5000<br><small>1 receiving",
                           "<tr id=\"refused-token\"><td>stream or list without the token</td>"
                           "<td class=\"n bad\">5</td></tr>",
                           "<tr id=\"refused-max_clients\"><td>stream past --max-clients</td>"
                           "<td class=n>0</td></tr>"}) {
    EXPECT_NE(html.find(part), std::string::npos) << part << "\n" << html;
  }
  const std::string metrics = statusMetrics(status);
  for (const char* part :
       {"# TYPE tessaran_group_cc_errors_total counter\n", "tessaran_streams 2\n",
        "tessaran_group_datagrams_total{group=\"239.1.1.1\",port=\"5000\"} 200\n",
        "tessaran_group_rtp_gaps_total{group=\"239.1.1.1\",port=\"5000\"} 2\n",
        "tessaran_group_rtp_reordered_total{group=\"239.1.1.1\",port=\"5000\"} 6\n",
        "tessaran_group_rtp_duplicates_total{group=\"239.1.1.1\",port=\"5000\"} 4\n",
        "tessaran_group_rtp_lost_total{group=\"239.1.1.1\",port=\"5000\"} 2\n",
        "tessaran_group_datagrams_total{group=\"239.1.1.1\",port=\"5000\",source=\"198.18.1.1\"} "
        "7\n",
        "# TYPE tessaran_refusals_total counter\ntessaran_refusals_total{reason=\"allow_list\"} 1\n"
        "tessaran_refusals_total{reason=\"per_host\"} 2\n"
        "tessaran_refusals_total{reason=\"slow_head\"} 3\n"
        "tessaran_refusals_total{reason=\"admin\"} 4\n"
        "tessaran_refusals_total{reason=\"token\"} 5\n"
        "tessaran_refusals_total{reason=\"max_clients\"} 0\n"}) {
    EXPECT_NE(metrics.find(part), std::string::npos) << part << "\n" << metrics;
  }
}

// With a guide, a channel row carries the programmes asked by its place in
// the playlist, times in local time (here UTC+2); without one, nulls and no
// "on air" column.
TEST(StatusPage, ChannelRowsShowTheProgrammesOnAir) {
  ::setenv("TZ", "XYZ-2", 1);
  ::tzset();
  auto playlist = std::make_shared<ChannelList>();
  playlist->loadText(
      "#EXTM3U\n#EXTINF:2,B\nudp://@239.1.1.2:5000\n#EXTINF:1,A\nudp://@239.1.1.1:5000\n");
  const std::int64_t now = 1768076100;  // 2026-01-10 20:15 UTC
  const GuideProgramme on{now, now + 5400, "<b>&"}, next{now + 5400, now + 7200, "\"Late\""};
  StatusSources sources;
  sources.playlist = playlist;
  const std::pair<bool, std::vector<std::string>> cases[] = {
      {true,
       {"\"title\":\"A\",\"group\":\"239.1.1.1\",\"port\":5000,\"watchers\":0,\"now\":{\"start\":"
        "1768076100,\"stop\":1768081500,\"title\":\"<b>&\"},\"next\":{\"start\":1768081500,"
        "\"stop\":1768083300,\"title\":\"\\\"Late\\\"\"}}",
        "\"title\":\"B\",\"group\":\"239.1.1.2\",\"port\":5000,\"watchers\":0,\"now\":null,"
        "\"next\":null}",
        "<th>on air</th>",
        "<td>22:15-23:45 &lt;b&gt;&amp;<br><small>23:45-00:15 &quot;Late&quot;</small></td></tr>"}},
      {false, {"\"now\":null,\"next\":null}", "<th>watching</th></tr>"}},
  };
  for (const auto& [guide, parts] : cases) {
    sources.programmes = {};
    if (guide) {
      sources.programmes = [&](std::size_t listIndex, std::int64_t time) {
        return listIndex == 0 && time == now ? NowAndNext{on, next} : NowAndNext{};
      };
    }
    const StatusSnapshot status = buildStatus(sources, StreamRegistry().snapshot(0), 0, now);
    const std::string text = statusJson(status) + statusHtml(status);
    for (const std::string& part : parts) {
      EXPECT_NE(text.find(part), std::string::npos) << part << "\n" << text;
    }
  }
}

// Each piece of `text` between `separator`s is valid UTF-8 without control
// characters.
bool cleanPieces(std::string_view text, std::string_view separator) {
  for (std::size_t at = 0; at < text.size();) {
    std::size_t end = text.find(separator, at);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view piece = text.substr(at, end - at);
    if (common::cleanUtf8(piece) != piece) return false;
    at = end + separator.size();
  }
  return true;
}

// Text a client sent, where the relay writes it: the event log (as a stream
// request's query), and from there the status pages; the JSON string and
// the Prometheus label value (as any text a snapshot holds). Each keeps its
// own escapes; none carries a control character or bytes that are not UTF-8.
TEST(OutsideText, LogJsonAndMetricsStayCleanUtf8) {
  const std::string kBad = "\xEF\xBF\xBD";  // U+FFFD
  const std::string kCafe = "caf\xC3\xA9 \xE2\x82\xAC";
  const struct {
    std::string text;
    std::string logged;  // the log line after the stream address and "?"
    std::string json;    // the JSON string, quotes included
    std::string label;   // the label value inside its quotes
  } cases[] = {
      {"<script>alert(document.domain)</script>", "<script>alert(document.domain)</script>",
       "\"<script>alert(document.domain)</script>\"", "<script>alert(document.domain)</script>"},
      {"\xFF\xFE", kBad + kBad, "\"" + kBad + kBad + "\"", kBad + kBad},
      {"\x1B]0;owned\x07\x1B[2J", "]0;owned[2J", "\"\\u001b]0;owned\\u0007\\u001b[2J\"",
       "]0;owned[2J"},
      {"a\nb\\c\"d", "ab\\c\"d", "\"a\\u000ab\\\\c\\\"d\"", "a\\nb\\\\c\\\"d"},
      {"x\xC3", "x" + kBad, "\"x" + kBad + "\"", "x" + kBad},  // a sequence cut short
      {"\xC3\n\xA9", kBad + kBad, "\"" + kBad + "\\u000a" + kBad + "\"", kBad + "\\n" + kBad},
      {kCafe, kCafe, "\"" + kCafe + "\"", kCafe},  // clean text stays as it is
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.text));
    RelayLog log;
    RelayRequest request;
    resolveUrl("/vkx/239.1.1.1:5000?" + c.text, request, "", log);
    const std::string logText = log.logText();
    ASSERT_GT(logText.size(), 9u);
    EXPECT_EQ(logText.substr(9), "Received vkx request: /vkx/239.1.1.1:5000?" + c.logged + "\r\n");
    EXPECT_TRUE(cleanPieces(logText, "\r\n"));

    StatusSources sources;
    sources.logText = [&logText] { return logText; };
    StatusSnapshot status = buildStatus(sources, StreamRegistry().snapshot(0), 0, 0);
    ASSERT_EQ(status.log.size(), 1u);
    status.channels.push_back({kUnnumbered, c.text, "239.1.1.1", 5000, 0});
    status.groups.push_back({c.text, 5000});

    const std::string json = statusJson(status);
    EXPECT_NE(json.find("\"title\":" + c.json + ","), std::string::npos) << json;
    EXPECT_TRUE(cleanPieces(json, "\n")) << json;
    const std::string metrics = statusMetrics(status);
    EXPECT_NE(metrics.find("tessaran_group_receivers{group=\"" + c.label + "\",port=\"5000\"} 0\n"),
              std::string::npos)
        << metrics;
    EXPECT_TRUE(cleanPieces(metrics, "\n")) << metrics;
    EXPECT_EQ(statusHtml(status).find("<script"), std::string::npos);
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
