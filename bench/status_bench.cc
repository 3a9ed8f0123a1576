// The status pages of a busy relay: 300 channels with their programmes, 100
// streams, 32 snooper pairs, 100 groups and a full log, written as JSON,
// HTML and metrics.
#include <benchmark/benchmark.h>

#include "relay/app/status_page.h"

namespace {

relay::StatusSnapshot busyRelay() {
  relay::StatusSnapshot status;
  status.version = "1.0.0";
  status.nowUnix = 1765300000;
  status.guide = true;
  for (std::uint32_t i = 0; i < 300; ++i) {
    relay::StatusSnapshot::ChannelRow row;
    row.number = i + 1;
    row.title = "Channel \"" + std::to_string(i) + "\" \xC3\xA9t\xC3\xA9";
    row.group = "News,Sport";
    row.port = 5000;
    row.watchers = i % 3;
    row.programmes.now = relay::GuideProgramme{status.nowUnix - 600, status.nowUnix + 1200,
                                               "Evening news & weather"};
    row.programmes.next =
        relay::GuideProgramme{status.nowUnix + 1200, status.nowUnix + 4800, "Film: <Title>"};
    status.channels.push_back(row);
  }
  for (int i = 0; i < 100; ++i) {
    status.streams.push_back({"192.168.0." + std::to_string(i) + ":50000", "Channel", "239.1.1.1",
                              5000, status.nowUnix - 60, 60, 60000000, 8000000, "plain"});
    status.groups.push_back({"239.1.1." + std::to_string(i), 5000, 1, 100000, 131600000, 0, 0});
    status.log.push_back("12:00:00 Received vkx request: /vkx/239.1.1." + std::to_string(i) +
                         ":5000?x=\x01");
  }
  for (int i = 0; i < 32; ++i) {
    status.pairs.push_back({"192.168.0.9", "239.1.2." + std::to_string(i), 5000, 1000, 1316000, 200});
  }
  return status;
}

void StatusJson(benchmark::State& state) {
  const relay::StatusSnapshot status = busyRelay();
  for (auto _ : state) benchmark::DoNotOptimize(relay::statusJson(status));
}
BENCHMARK(StatusJson);

void StatusHtml(benchmark::State& state) {
  const relay::StatusSnapshot status = busyRelay();
  for (auto _ : state) benchmark::DoNotOptimize(relay::statusHtml(status));
}
BENCHMARK(StatusHtml);

}  // namespace

BENCHMARK_MAIN();
