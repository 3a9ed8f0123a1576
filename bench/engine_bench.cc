// The request reader's hot path: completeness test and parse of typical
// requests (a player's document fetch, a control point's SOAP Browse), and
// the collection of a large upload receive by receive against all at once.
#include <benchmark/benchmark.h>

#include <string>

#include "engine/request_collector.h"
#include "engine/request_parser.h"

namespace {

const std::string kDocumentGet =
    "GET /description.xml HTTP/1.1\r\nHost: 198.18.2.1:2901\r\n"
    "User-Agent: Player/3.0 UPnP/1.0\r\nAccept: */*\r\nAccept-Encoding: gzip, deflate\r\n"
    "Accept-Language: en-US\r\nConnection: keep-alive\r\n\r\n";

const std::string kSoapBody =
    "<?xml version=\"1.0\"?><s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\">"
    "<s:Body><u:Browse><ObjectID>0</ObjectID><BrowseFlag>BrowseDirectChildren</BrowseFlag>"
    "<StartingIndex>0</StartingIndex><RequestedCount>50</RequestedCount></u:Browse></s:Body>"
    "</s:Envelope>";
const std::string kSoapPost =
    "POST /upnp/control/cds HTTP/1.1\r\nHost: 198.18.2.1:2901\r\n"
    "Content-Type: text/xml; charset=\"utf-8\"\r\n"
    "SOAPACTION: \"urn:schemas-upnp-org:service:ContentDirectory:1#Browse\"\r\n"
    "Content-Length: " +
    std::to_string(kSoapBody.size()) + "\r\n\r\n" + kSoapBody;

void runRequest(benchmark::State& state, const std::string& bytes) {
  engine::HttpRequest request;
  for (auto _ : state) {
    bool malformed = false;
    benchmark::DoNotOptimize(engine::isComplete(bytes, malformed));
    engine::parseRequest(bytes, request, true);
    benchmark::DoNotOptimize(request.url);
  }
  state.SetBytesProcessed(state.iterations() * std::int64_t(bytes.size()));
}

void BM_DocumentGet(benchmark::State& state) {
  runRequest(state, kDocumentGet);
}
void BM_SoapBrowsePost(benchmark::State& state) {
  runRequest(state, kSoapPost);
}
BENCHMARK(BM_DocumentGet);
BENCHMARK(BM_SoapBrowsePost);

// A 10 MB form upload of short lines: the worst case for a collector that
// looks at the whole text again after every receive.
const std::string& largeUpload() {
  static const std::string upload = [] {
    std::string body;
    while (body.size() < 10000000) body += "field=value\r\n";
    return "POST /upload.php HTTP/1.1\r\nHost: 198.18.2.1\r\n"
           "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
  }();
  return upload;
}

// state.range(0): bytes per receive (0: everything in one).
void BM_CollectLargeUpload(benchmark::State& state) {
  const std::string& upload = largeUpload();
  const std::size_t step = state.range(0) == 0 ? upload.size() : std::size_t(state.range(0));
  engine::RequestCollector collector;
  for (auto _ : state) {
    collector.clear();
    engine::RequestCollector::Status status = engine::RequestCollector::Status::Waiting;
    for (std::size_t at = 0; at < upload.size(); at += step) {
      status = collector.append(std::string_view(upload).substr(at, step));
    }
    if (status != engine::RequestCollector::Status::Complete) state.SkipWithError("incomplete");
  }
  state.SetBytesProcessed(state.iterations() * std::int64_t(upload.size()));
}
BENCHMARK(BM_CollectLargeUpload)->Arg(0)->Arg(4096)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
