#include "relay/app/url_routing.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

namespace {

using engine::HttpRequest;

constexpr std::string_view kToken = "0123456789ABCDEF0123456789ABCDEF";

struct Route {
  int kind;
  std::uint32_t target;
  std::uint32_t action = 0;
};

Route route(const std::string& url, relay::RelayLog& log, std::uint32_t parserTarget = 0) {
  HttpRequest request;
  request.reset(engine::Variant::Relay);
  request.target = parserTarget;
  relay::resolveUrl(url, request, kToken, log);
  return {request.kind, request.target, request.action};
}

std::uint32_t group(const char* text) {
  return inet_addr(text);
}

TEST(ResolveUrl, Table) {
  const std::string token(kToken);
  struct Case {
    std::string url;
    int kind;
    std::uint32_t target;
    std::uint16_t port;
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
      {"/vkx/", 9, 0, 0},
      {"/vkx", 9, 0, 0},
      {"/vkx/239.255.0.1:5002", 3, group("239.255.0.1"), 5002},
      {"/vkx/239.255.0.1:1234abc", 3, group("239.255.0.1"), 1234},
      {"/vkx/239.255.0.1: 99", 3, group("239.255.0.1"), 99},
      {"/vkx/239.255.0.1:5002?x=1", 9, 0, 0},
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
      {"/" + token, 9, 0, 0},
      {"/" + token + "/", 9, 0, 0},
      {"/" + token + "/239.1.2.3:1234", 3, group("239.1.2.3"), 1234},
      {"/x" + token + "239.1.2.3:1234", 3, group("239.1.2.3"), 1234},  // token anywhere
      {"/elsewhere", 9, 0, 0},
  };
  relay::RelayLog log;
  for (const Case& c : cases) {
    const Route r = route(c.url, log);
    SCOPED_TRACE(c.url);
    EXPECT_EQ(r.kind, c.kind);
    EXPECT_EQ(r.target, c.target);
    if (c.kind == 3) {
      EXPECT_EQ(r.action, htons(c.port));
    }
  }
}

TEST(ResolveUrl, UnknownTargetKeepsTheParsersErrorRow) {
  relay::RelayLog log;
  EXPECT_EQ(route("/elsewhere", log, engine::errorrow::kNotAcceptable).target,
            engine::errorrow::kNotAcceptable);
  // A malformed stream address is a plain 400 even then.
  EXPECT_EQ(route("/vkx/1.2.3.4:5", log, engine::errorrow::kNotAcceptable).target,
            engine::errorrow::kBadRequest);
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
