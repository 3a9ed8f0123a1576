// parseNumber against the standard stream extraction whose reading it
// follows, on the kinds of text the programs convert (ports, byte ranges,
// Content-Length values).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "common/parse_number.h"

namespace {

const std::vector<std::string> kTexts = {"2901",  " 10240000",  "0",    "4294967296",
                                         "65535", "1316 bytes", "  +42"};

void BM_ParseNumber(benchmark::State& state) {
  for (auto _ : state) {
    for (const std::string& text : kTexts) {
      benchmark::DoNotOptimize(common::parseNumber<std::uint64_t>(text));
    }
  }
  state.SetItemsProcessed(state.iterations() * std::int64_t(kTexts.size()));
}
BENCHMARK(BM_ParseNumber);

void BM_StreamExtraction(benchmark::State& state) {
  for (auto _ : state) {
    for (const std::string& text : kTexts) {
      std::istringstream stream(text);
      std::uint64_t value = 0;
      stream >> value;
      benchmark::DoNotOptimize(value);
    }
  }
  state.SetItemsProcessed(state.iterations() * std::int64_t(kTexts.size()));
}
BENCHMARK(BM_StreamExtraction);

}  // namespace

BENCHMARK_MAIN();
