#include "engine/request_parser.h"

#include <gtest/gtest.h>

#include "engine/request_collector.h"

namespace {

using engine::HttpRequest;

TEST(IsComplete, ByMethodAndLength) {
  struct Case {
    std::string bytes;
    bool complete;
    bool malformed;
  };
  const std::string body5 = "POST /x HTTP/1.1\r\nContent-Length: 5\r\n\r\n";
  const Case cases[] = {
      {"GET", false, false},
      {"\r\n\r\n", true, true},  // short, but ends: answered 400
      {"GET / HTTP/1.1\r\n", false, false},
      {"GET / HTTP/1.1\r\n\r\n", true, false},
      {"GET / HTTP/1.1\r\n\r\nGET /cm.xml HTTP/1.1\r\n\r\n", true, false},  // pipelined
      {"GET / HTTP/1.1\r\n\r\nxyz", false, false},
      {"SUBSCRIBE /e HTTP/1.1\r\n\r\n", true, false},
      {"UNSUBSCRIBE /e HTTP/1.1\r\n\r\n", true, false},
      {"HEAD / HTTP/1.1\r\n\r\n", true, false},
      {"OPTIONS * HTTP/1.1\r\n", true, true},
      {"get / HTTP/1.1\r\n\r\n", true, true},
      {"POST /x HTTP/1.1\r\nHost: a\r\n", false, false},
      {"POST /x HTTP/1.1\r\n\r\n", true, true},  // no Content-Length
      {body5 + "abc", false, false},             // short body waits
      {body5 + "abcde", true, false},
      {body5 + "abcdef", false, false},  // longer never completes
      {"POST /x HTTP/1.1\r\ncontent-length:   0\r\n\r\n", true, false},
      {"POST /x HTTP/1.1\r\nContent-Length : 5\r\n\r\nabcde", true, true},  // space before colon
      {"POST /x HTTP/1.1\r\nContent-Length: five\r\n\r\nabcde", true, true},
      {"POST /x HTTP/1.1\r\nContent-Length: -4\r\n\r\n", true, true},
      {"POST /x HTTP/1.1\r\nContent-Length: 2xyz\r\n\r\nab", true, false},
      // Lengths no request can reach are refused once the head is in, and
      // none of them overflows.
      {"POST /x HTTP/1.1\r\nContent-Length: 9223372036854775807\r\n\r\nabc", true, true},
      {"POST /x HTTP/1.1\r\nContent-Length: 9223372036854775808\r\n\r\nabc", true, true},
      {"POST /x HTTP/1.1\r\nContent-Length: 18446744073709551615\r\n\r\n", true, true},
      {"POST /x HTTP/1.1\r\nContent-Length: " + std::string(400, '9') + "\r\n\r\n", true, true},
      {"POST /x HTTP/1.1\r\nContent-Length: 10239955\r\n\r\n", true, true},
      {"POST /x HTTP/1.1\r\nContent-Length: 10239954\r\n\r\n", false, false},  // just fits
      // Only the head names the length.
      {"POST /x HTTP/1.1\r\n\r\nContent-Length: 0\r\n\r\n", true, true},
  };
  for (const Case& c : cases) {
    bool malformed = !c.malformed;
    EXPECT_EQ(engine::isComplete(c.bytes, malformed), c.complete)
        << testing::PrintToString(c.bytes);
    if (c.complete) {
      EXPECT_EQ(malformed, c.malformed) << testing::PrintToString(c.bytes);
    }
  }
}

// Bytes that arrive a few at a time give, after every receive, the answer
// the whole text so far gives; once an answer is reached it is the last.
TEST(RequestCollector, ReceiveByReceiveAgreesWithTheWholeText) {
  const std::string requests[] = {
      "GET / HTTP/1.1\r\nHost: a\r\n\r\n",
      "SUBSCRIBE /e HTTP/1.1\r\nNT: upnp:event\r\n\r\n",
      "POST /x HTTP/1.1\r\nContent-Length: 12\r\n\r\nabc\r\n\r\ndefgh",
      "POST /x HTTP/1.1\r\nContent-Length: 0\r\n\r\n",
      "POST /x HTTP/1.1\r\nHost: a\r\n\r\nbody",
      "POST /x HTTP/1.1\r\nContent-Length: 99999999999\r\n\r\n",
      "PUT /x HTTP/1.1\r\n\r\n",
  };
  using Status = engine::RequestCollector::Status;
  for (const std::string& request : requests) {
    for (std::size_t step = 1; step <= 5; ++step) {
      SCOPED_TRACE(testing::PrintToString(request) + " in pieces of " + std::to_string(step));
      engine::RequestCollector collector;
      Status status = Status::Waiting;
      for (std::size_t at = 0; at < request.size() && status == Status::Waiting; at += step) {
        status = collector.append(std::string_view(request).substr(at, step));
        bool malformed = false;
        const bool complete = engine::isComplete(collector.bytes(), malformed);
        EXPECT_EQ(status != Status::Waiting, complete) << "after " << collector.bytes().size();
        if (complete) {
          EXPECT_EQ(status == Status::Malformed, malformed);
        }
      }
      collector.clear();
      EXPECT_EQ(collector.append(request) != Status::Waiting, status != Status::Waiting);
    }
  }
}

TEST(SplitHeaders, RequestLineHeadersAndBody) {
  std::vector<engine::HeaderField> headers;
  const std::size_t body = engine::splitHeaders(
      "GET /a b HTTP/1.1\r\nHost : x:80\r\nNoColon\r\n\n\rConnection:\r\nX-Y:  v  \r\n\r\nBODY",
      headers);
  ASSERT_EQ(headers.size(), 5u);
  EXPECT_EQ(headers[0].name, "GET");
  EXPECT_EQ(headers[0].value, "/a b HTTP/1.1");
  EXPECT_EQ(headers[1].name, "HOST");  // trimmed before upper-casing
  EXPECT_EQ(headers[1].value, "x:80");
  EXPECT_EQ(headers[2].name, "CONNECTION");
  EXPECT_EQ(headers[2].value, "");
  EXPECT_EQ(headers[3].name, "X-Y");
  EXPECT_EQ(headers[3].value, "v");
  EXPECT_EQ(body, 4u);
  EXPECT_EQ(headers[4].name, "");
  EXPECT_EQ(headers[4].value, "BODY");

  // The request line counts as a header line when it holds a colon.
  headers.clear();
  EXPECT_EQ(engine::splitHeaders("GET http://h/ HTTP/1.1\r\n", headers), 0u);
  ASSERT_EQ(headers.size(), 2u);
  EXPECT_EQ(headers[1].name, "GET HTTP");
  EXPECT_EQ(engine::findHeader(headers, "GET HTTP"), 1);
  EXPECT_EQ(engine::findHeader(headers, "get http"), -1);
}

TEST(VersionOf, OnlyExactOneZeroIsOneZero) {
  const std::pair<std::string, int> cases[] = {
      {"/ HTTP/1.0", 0}, {"/ HTTP/1.1", 1}, {"/ HTTP/1.", 1},
      {"/ HTTP/2", 1},   {"/ HTTP", 1},     {"/ HTTP/1.0 ", 1},
  };
  for (const auto& [rest, expected] : cases) {
    EXPECT_EQ(engine::versionOf(rest, rest.rfind(" HTTP")), expected) << rest;
  }
}

struct ParseCase {
  std::string request;
  bool keepAliveByDefault;
  bool closeAfter;
  int coding;
};

TEST(ParseRequest, ConnectionAndEncodingRules) {
  const std::string get = "GET /nowhere HTTP/1.1\r\n";
  const ParseCase cases[] = {
      {get + "\r\n", true, false, 0},
      {get + "Connection: CLOSE\r\n\r\n", true, true, 0},
      {get + "Connection : close\r\n\r\n", true, true, 0},
      {get + "Connection: keep-alive, close\r\n\r\n", true, false, 0},
      {get + "\r\n", false, true, 0},
      {get + "Connection: Keep-Alive\r\n\r\n", false, false, 0},
      {get + "Connection: keep-alive, upgrade\r\n\r\n", false, true, 0},
      {get + "Connection: keep-alive\r\nConnection: close\r\n\r\n", false, false, 0},
      {get + "Accept-Encoding: gzip;q=0, deflate\r\n\r\n", true, false, 2},
      {get + "Accept-Encoding: GZIP\r\n\r\n", true, false, 1},
      {get + "Accept-Encoding: x-gzip, deflate\r\n\r\n", true, false, 1},
      {get + "Accept-Encoding: deflate;q=0,gzip\r\n\r\n", true, false, 1},
      {get + "Accept-Encoding: *\r\n\r\n", true, false, 0},
      {get + "Accept-Encoding:\r\n\r\n", true, false, 0},
      {get + "Accept-Encoding: identity\r\n\r\n", true, false, 3},
      {get + "Accept-Encoding: identity\r\n\r\n", false, true, 3},
      {get + "Accept-Encoding: br, gzip;q=0\r\n\r\n", true, false, 3},
  };
  for (const ParseCase& c : cases) {
    HttpRequest request;
    engine::parseRequest(c.request, request, c.keepAliveByDefault);
    SCOPED_TRACE(testing::PrintToString(c.request));
    EXPECT_EQ(request.closeAfter, c.closeAfter);
    EXPECT_EQ(request.coding, c.coding);
  }
}

TEST(ParseRequest, RequestLineAndBody) {
  struct Case {
    std::string request;
    std::string method;
    std::string url;
    bool hasUrl;
    int version;
    std::string body;
  };
  const Case cases[] = {
      {"GET /a?b=1 HTTP/1.0\r\n\r\n", "GET", "/a?b=1", true, 0, ""},
      {"GET /with space HTTP/1.1\r\n\r\n", "GET", "/with space", true, 1, ""},
      {"GET /x\r\n\r\n", "GET", "", false, 1, ""},  // no " HTTP": no URL
      {"POST /c HTTP/1.1\r\nContent-Length: 2\r\n\r\nab", "POST", "/c", true, 1, "ab"},
  };
  for (const Case& c : cases) {
    HttpRequest request;
    engine::parseRequest(c.request, request, true);
    SCOPED_TRACE(testing::PrintToString(c.request));
    EXPECT_EQ(request.method, c.method);
    EXPECT_EQ(request.url, c.url);
    EXPECT_EQ(request.hasUrl, c.hasUrl);
    EXPECT_EQ(request.versionIndex, c.version);
    EXPECT_EQ(request.body(), c.body);
  }
}

}  // namespace
