#include "relay/app/url_routing.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "engine/request_parser.h"
#include "relay/app/relay_framing.h"
#include "relay/app/relay_request.h"

namespace {

using relay::ErrorRow;
using relay::RelayKind;

constexpr std::string_view kToken = "0123456789ABCDEF0123456789ABCDEF";

relay::RelayRequest route(const std::string& url, relay::RelayLog& log,
                          ErrorRow row = ErrorRow::BadRequest) {
  relay::RelayRequest request;
  request.errorRow = row;
  relay::resolveUrl(url, request, kToken, log);
  return request;
}

std::uint32_t group(const char* text) {
  return inet_addr(text);
}

TEST(ResolveUrl, Table) {
  const std::string token(kToken);
  // target: the document, or the group of a stream; source: the stream's
  // one sender.
  struct Case {
    std::string url;
    int kind;
    std::uint32_t target;
    std::uint16_t port;
    std::uint32_t source = 0;
  };
  // The relay's kinds by the numbers the table uses.
  const std::map<int, RelayKind> kinds = {
      {0, RelayKind::Document}, {1, RelayKind::GeneratedText}, {3, RelayKind::Stream},
      {4, RelayKind::Status},   {5, RelayKind::Playlist},      {8, RelayKind::Quit},
      {9, RelayKind::Error},    {10, RelayKind::Guide},
  };
  const Case cases[] = {
      {"/", 0, 0, 0},
      {"/description.xml", 0, 0, 0},
      {"/cm.xml", 0, 1, 0},
      {"/cds.xml", 0, 2, 0},
      {"/CDS.XML", 9, 0, 0},
      {"/cds.xml?x=1", 9, 0, 0},
      {"/command/quit", 8, 0, 0},
      {"/command/log", 1, 1, 0},
      {"/status", 4, 0, 0},
      {"/status.json", 4, 1, 0},
      {"/metrics", 4, 2, 0},
      {"/status/", 9, 0, 0},
      {"/metrics?x=1", 9, 0, 0},
      {"/playlist.m3u", 5, 0, 0},
      {"/playlist.m3u?x=1", 9, 0, 0},
      {"/Playlist.m3u", 9, 0, 0},
      {"/vkx/", 9, 0, 0},
      {"/vkx", 9, 0, 0},
      {"/vkx/239.255.0.1:5002", 3, group("239.255.0.1"), 5002},
      {"/vkx/239.255.0.1:1234abc", 3, group("239.255.0.1"), 1234},
      {"/vkx/239.255.0.1: 99", 3, group("239.255.0.1"), 99},
      {"/vkx/239.255.0.1:5002?x=1", 3, group("239.255.0.1"), 5002},  // a player's query
      {"/vkx/239.255.0.1:5002?", 3, group("239.255.0.1"), 5002},
      {"/vkx/?x=1", 9, 0, 0},
      {"/vkx/239.255.0.1?x=1:5002", 9, 0, 0},
      {"/vkx/239.255.0.1:5002/more", 9, 0, 0},
      {"/vkx/239.255.0.1:70000", 9, 0, 0},
      {"/vkx/239.255.0.1:", 9, 0, 0},
      {"/vkx/239.255.0.1", 9, 0, 0},
      {"/vkx/10.0.0.1:5002", 9, 0, 0},
      {"/vkx/224.0.0.0:1", 3, group("224.0.0.0"), 1},
      {"/vkx/239.255.255.255:1", 3, group("239.255.255.255"), 1},
      {"/vkx/255.255.255.255:1", 9, 0, 0},  // INADDR_NONE
      {"/vkx/239.255.255.254:1", 3, group("239.255.255.254"), 1},
      {"/vkx/240.0.0.1:1", 9, 0, 0},
      {"/vkx/223.255.255.255:1", 9, 0, 0},
      {"/vkx/host:1", 9, 0, 0},
      // Other relays' paths name the same streams.
      {"/udp/239.255.0.1:5002", 3, group("239.255.0.1"), 5002},
      {"/rtp/239.255.0.1:5002?x=1", 3, group("239.255.0.1"), 5002},
      {"/udp/", 9, 0, 0},
      {"/rtp/10.0.0.1:5002", 9, 0, 0},
      {"/UDP/239.255.0.1:5002", 9, 0, 0},
      // One sender of a group: a dotted unicast address before "@".
      {"/vkx/10.0.0.1@239.255.0.1:5002", 3, group("239.255.0.1"), 5002, group("10.0.0.1")},
      {"/udp/198.18.1.1@232.1.1.1:5000?x=1", 3, group("232.1.1.1"), 5000, group("198.18.1.1")},
      {"/rtp/223.255.255.254@232.1.1.1:1", 3, group("232.1.1.1"), 1, group("223.255.255.254")},
      {"/vkx/239.255.0.1:5002@10.0.0.1", 3, group("239.255.0.1"), 5002},  // "@" in the port
      {"/vkx/@239.255.0.1:5002", 9, 0, 0},
      {"/vkx/0.0.0.0@239.255.0.1:5002", 9, 0, 0},
      {"/vkx/0.1.2.3@239.255.0.1:5002", 9, 0, 0},
      {"/vkx/255.255.255.255@239.255.0.1:5002", 9, 0, 0},
      {"/vkx/232.1.1.2@232.1.1.1:5002", 9, 0, 0},
      {"/vkx/240.0.0.1@232.1.1.1:5002", 9, 0, 0},
      {"/vkx/10.1@232.1.1.1:5002", 9, 0, 0},
      {"/vkx/010.0.0.1@232.1.1.1:5002", 9, 0, 0},
      {"/vkx/ 10.0.0.1@232.1.1.1:5002", 9, 0, 0},
      {"/vkx/host@232.1.1.1:5002", 9, 0, 0},
      {"/vkx/10.0.0.1@@232.1.1.1:5002", 9, 0, 0},
      {"/vkx/10.0.0.1@10.0.0.2:5002", 9, 0, 0},
      {"/vkx/10.0.0.1@232.1.1.1", 9, 0, 0},
      {"/udp/10.0.0.1@232.1.1.1:70000", 9, 0, 0},
      {"/" + token, 9, 0, 0},
      {"/" + token + "/", 9, 0, 0},
      {"/" + token + "/239.1.2.3:1234", 3, group("239.1.2.3"), 1234},
      {"/" + token + "/239.1.2.3:1234?mediaPlayerId=1&playMode=2", 3, group("239.1.2.3"), 1234},
      {"/x" + token + "239.1.2.3:1234", 3, group("239.1.2.3"), 1234},  // token anywhere
      {"/" + token + "/10.0.0.1@239.1.2.3:1234", 3, group("239.1.2.3"), 1234, group("10.0.0.1")},
      {"/" + token + "/239.1.2.3@239.1.2.3:1234", 9, 0, 0},
      {"/elsewhere", 9, 0, 0},
      {"/epg.xml", 10, 0, 0},
      {"/epg.xml.gz", 10, 1, 0},
      {"/epg.xml?x=1", 9, 0, 0},
      {"/EPG.XML", 9, 0, 0},
      // --token's parameter in the query: the list and guide take it (any
      // other query stays a 400), and no stream address reads it.
      {"/playlist.m3u?token=abc", 5, 0, 0},
      {"/playlist.m3u?x=1&token=abc", 5, 0, 0},
      {"/playlist.m3u?tokens=abc", 9, 0, 0},
      {"/playlist.m3u?x=token=abc", 9, 0, 0},
      {"/epg.xml?token=", 10, 0, 0},
      {"/epg.xml.gz?token=abc&x=1", 10, 1, 0},
      {"/status?token=abc", 9, 0, 0},
      {"/command/quit?token=abc", 9, 0, 0},
      {"/vkx/239.255.0.1:5002?token=abc", 3, group("239.255.0.1"), 5002},
      {"/udp/10.0.0.1@239.255.0.1:5002?a=1&token=abc", 3, group("239.255.0.1"), 5002,
       group("10.0.0.1")},
      {"/rtp/239.255.0.1:5002?token=a@b:1", 3, group("239.255.0.1"), 5002},
      {"/" + token + "/10.0.0.1@239.1.2.3:1234?token=abc", 3, group("239.1.2.3"), 1234,
       group("10.0.0.1")},
      {"/auto/v5?token=abc", 3, 0, 0},  // the tuner's: the number names the group later
  };
  relay::RelayLog log;
  for (const Case& c : cases) {
    const relay::RelayRequest r = route(c.url, log);
    SCOPED_TRACE(c.url);
    EXPECT_EQ(r.kind, kinds.at(c.kind));
    if (c.kind == 0) {
      EXPECT_EQ(r.document, c.target);
    }
    if (c.kind == 9) {
      EXPECT_EQ(r.errorRow, ErrorRow::BadRequest);
    }
    if (c.kind == 10) {
      EXPECT_EQ(r.guideGzipFile, c.target == 1);
    }
    if (c.kind == 4) {
      EXPECT_EQ(int(r.statusView), int(c.target));
    }
    if (c.kind == 3) {
      EXPECT_EQ(r.stream.group, c.target);
      EXPECT_EQ(r.stream.port, c.port);
      EXPECT_EQ(r.stream.source, c.source);
    }
  }
}

TEST(HttpDate, ReadsTheThreeFormsAndWritesOne) {
  // 784111777 is Sun, 06 Nov 1994 08:49:37 GMT.
  EXPECT_EQ(relay::httpDate(784111777), "Sun, 06 Nov 1994 08:49:37 GMT");
  EXPECT_EQ(relay::httpDate(0), "Thu, 01 Jan 1970 00:00:00 GMT");
  EXPECT_EQ(relay::httpDate(1772323200), "Sun, 01 Mar 2026 00:00:00 GMT");
  const std::pair<const char*, std::int64_t> cases[] = {
      {"Sun, 06 Nov 1994 08:49:37 GMT", 784111777},
      {"Sunday, 06-Nov-94 08:49:37 GMT", 784111777},
      {"Sun Nov  6 08:49:37 1994", 784111777},
      {"Sun, 01 Mar 2026 00:00:00 GMT", 1772323200},
      {"Sun, 06 Nov 1994 08:49:37 GMT; length=12", -1},
      {"Sun, 06 Foo 1994 08:49:37 GMT", -1},
      {"Sun, 32 Nov 1994 08:49:37 GMT", -1},
      {"yesterday", -1},
      {"", -1},
  };
  for (const auto& [text, time] : cases) {
    const std::optional<std::int64_t> read = relay::parseHttpDate(text);
    EXPECT_EQ(read.value_or(-1), time) << text;
  }
}

TEST(ResolveUrl, UnknownTargetKeepsTheParsersErrorRow) {
  relay::RelayLog log;
  EXPECT_EQ(route("/elsewhere", log, ErrorRow::NotAcceptable).errorRow, ErrorRow::NotAcceptable);
  // A malformed stream address is a plain 400 even then.
  EXPECT_EQ(route("/vkx/1.2.3.4:5", log, ErrorRow::NotAcceptable).errorRow, ErrorRow::BadRequest);
}

TEST(ClassifyRelayRequest, ByMethodWithTheNotAcceptableRow) {
  std::vector<std::string> calls;
  relay::RelayRoutes routes;
  routes.get = [&](std::string_view target, relay::RelayRequest& r) {
    calls.push_back(std::string(target));
    if (target != "/none") r.kind = RelayKind::Document;
  };
  routes.mediaServer = true;
  const std::string browse =
      "SOAPACTION: \"urn:schemas-upnp-org:service:ContentDirectory:1#Browse\"\r\n";
  struct Case {
    std::string request;
    std::string call;
    RelayKind kind;
    ErrorRow row = ErrorRow::BadRequest;
  };
  const Case cases[] = {
      {"GET /a?b=1 HTTP/1.0\r\n\r\n", "/a?b=1", RelayKind::Document},
      {"GET /x\r\n\r\n", "", RelayKind::Error},  // no " HTTP"
      {"SUBSCRIBE /e HTTP/1.1\r\n\r\n", "", RelayKind::Error, ErrorRow::NotImplemented},
      {"UNSUBSCRIBE /e HTTP/1.1\r\n\r\n", "", RelayKind::Unsubscribe},
      {"POST /c HTTP/1.1\r\n" + browse + "Content-Length: 0\r\n\r\n", "", RelayKind::Soap},
      {"POST /c HTTP/1.1\r\nSOAPACTION: \"a#b\"\r\nContent-Length: 0\r\n\r\n", "",
       RelayKind::Error},
      {"POST /c HTTP/1.1\r\nContent-Length: 0\r\n\r\n", "", RelayKind::Error},
      {"PUT /c HTTP/1.1\r\n\r\n", "", RelayKind::Error},
      // Accept-Encoding that accepts nothing the relay has: 406, unless the
      // request is one the relay answers.
      {"GET /none HTTP/1.1\r\nAccept-Encoding: identity\r\n\r\n", "/none", RelayKind::Error,
       ErrorRow::NotAcceptable},
      {"GET /a HTTP/1.1\r\nAccept-Encoding: br, gzip;q=0\r\n\r\n", "/a", RelayKind::Document},
      {"PUT /c HTTP/1.1\r\nAccept-Encoding: identity\r\n\r\n", "", RelayKind::Error,
       ErrorRow::NotAcceptable},
  };
  for (const Case& c : cases) {
    calls.clear();
    engine::HttpRequest request;
    engine::parseRequest(c.request, request, true);
    const relay::RelayRequest r = relay::classifyRelayRequest(request, routes);
    SCOPED_TRACE(testing::PrintToString(c.request));
    EXPECT_EQ(calls, c.call.empty() ? std::vector<std::string>{} : std::vector{c.call});
    EXPECT_EQ(r.kind, c.kind);
    if (r.kind == RelayKind::Error) {
      EXPECT_EQ(r.errorRow, c.row);
    }
  }
  // A malformed request is a plain 400.
  engine::HttpRequest malformed;
  malformed.malformed = true;
  malformed.coding = engine::kNothingAcceptable;
  EXPECT_EQ(relay::classifyRelayRequest(malformed, routes).errorRow, ErrorRow::BadRequest);
}

// Compared whatever the first difference; equal only at the same length.
TEST(Token, ConstantTimeCompare) {
  const struct {
    std::string_view given;
    std::string_view expected;
    bool match;
  } cases[] = {
      {"s3cret", "s3cret", true},
      {"s3creT", "s3cret", false},
      {"x3cret", "s3cret", false},
      {"s3cre", "s3cret", false},
      {"s3cret~", "s3cret", false},
      {"", "s3cret", false},
      {"", "", true},
      {std::string_view("s3cr\0t", 6), "s3cret", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(relay::tokenMatches(c.given, c.expected), c.match) << c.given;
  }
}

// The token in the query, among other parameters, or as a Bearer line; the
// value as sent, no part of another parameter.
TEST(Token, CarriedByTheQueryOrABearerLine) {
  const struct {
    std::string request;
    bool carried;
  } cases[] = {
      {"GET /vkx/239.1.1.1:1?token=s3cret HTTP/1.1\r\n\r\n", true},
      {"HEAD /vkx/239.1.1.1:1?token=s3cret HTTP/1.1\r\n\r\n", true},
      {"GET /playlist.m3u?a=1&token=s3cret&b=2 HTTP/1.1\r\n\r\n", true},
      {"GET /auto/v5?token=wrong&token=s3cret HTTP/1.1\r\n\r\n", true},
      {"GET /epg.xml HTTP/1.1\r\nAuthorization: Bearer s3cret\r\n\r\n", true},
      {"GET /epg.xml HTTP/1.1\r\nauthorization: bearer   s3cret \r\n\r\n", true},
      {"GET /vkx/239.1.1.1:1 HTTP/1.1\r\n\r\n", false},
      {"GET /vkx/239.1.1.1:1?token= HTTP/1.1\r\n\r\n", false},
      {"GET /vkx/239.1.1.1:1?token=s3cre HTTP/1.1\r\n\r\n", false},
      {"GET /vkx/239.1.1.1:1?token=s3cretx HTTP/1.1\r\n\r\n", false},
      {"GET /vkx/239.1.1.1:1?token=S3CRET HTTP/1.1\r\n\r\n", false},
      {"GET /vkx/239.1.1.1:1?mytoken=s3cret HTTP/1.1\r\n\r\n", false},
      {"GET /vkx/239.1.1.1:1?x=token=s3cret HTTP/1.1\r\n\r\n", false},
      {"GET /vkx/239.1.1.1:1?token%3Ds3cret HTTP/1.1\r\n\r\n", false},
      {"GET /token=s3cret HTTP/1.1\r\n\r\n", false},
      {"GET /epg.xml HTTP/1.1\r\nAuthorization: Basic s3cret\r\n\r\n", false},
      {"GET /epg.xml HTTP/1.1\r\nAuthorization: Bearers3cret\r\n\r\n", false},
      {"GET /epg.xml HTTP/1.1\r\nAuthorization: Bearer\r\n\r\n", false},
      {"GET /epg.xml HTTP/1.1\r\nAuthorization: Bearer s3cret x\r\n\r\n", false},
      {"GET /epg.xml HTTP/1.1\r\nX-Token: s3cret\r\n\r\n", false},
  };
  for (const auto& c : cases) {
    engine::HttpRequest request;
    engine::parseRequest(c.request, request, true);
    SCOPED_TRACE(testing::PrintToString(c.request));
    EXPECT_EQ(relay::requestCarriesToken(request, "s3cret"), c.carried);
    EXPECT_TRUE(relay::requestCarriesToken(request, ""));  // no --token
  }
}

// The token's value stays out of the log and the console.
TEST(RelayLog, StreamRequestsLeaveTheTokenOut) {
  const std::pair<std::string, std::string> cases[] = {
      {"/vkx/239.0.0.1:1?a=1&token=s3cret&b=2", "/vkx/239.0.0.1:1?a=1&token=...&b=2"},
      {"/auto/v7?token=s3cret&token=x", "/auto/v7?token=...&token=..."},
      {"/udp/239.0.0.1:1?mytoken=a", "/udp/239.0.0.1:1?mytoken=a"},
  };
  for (const auto& [url, shown] : cases) {
    relay::RelayLog log;
    route(url, log);
    EXPECT_TRUE(log.logText().ends_with(" Received vkx request: " + shown + "\r\n"))
        << log.logText();
  }
}

TEST(RelayLog, StreamRequestsAreLoggedAndOnlyTheLast100Kept) {
  relay::RelayLog log;
  EXPECT_EQ(log.logText(), "");
  for (int i = 0; i < 150; ++i) route("/vkx/239.0.0.1:" + std::to_string(1000 + i), log);
  route("/vkx/10.0.0.1:1", log);  // refused requests are not logged
  const std::string text = log.logText();
  std::vector<std::string> lines;
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = text.find("\r\n", start);
    ASSERT_NE(end, std::string::npos);
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  ASSERT_EQ(lines.size(), 100u);
  EXPECT_TRUE(lines.front().ends_with(" Received vkx request: /vkx/239.0.0.1:1050"));
  EXPECT_TRUE(lines.back().ends_with(" Received vkx request: /vkx/239.0.0.1:1149"));
  // "HH:MM:SS " in front of every message.
  for (const std::string& line : lines) {
    ASSERT_GE(line.size(), 9u);
    EXPECT_EQ(line[2], ':');
    EXPECT_EQ(line[5], ':');
    EXPECT_EQ(line[8], ' ');
  }
}

}  // namespace
