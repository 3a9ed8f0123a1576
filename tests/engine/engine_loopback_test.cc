// The engine on loopback with real sockets: exact response bytes, keep-alive
// and close rules of both variants, limits, the quit kind, the stop and the
// destruction with connections still open.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <map>
#include <regex>

#include "engine/compression.h"
#include "engine/http_engine.h"
#include "engine/request_parser.h"
#include "platform/address_list.h"
#include "platform/clock.h"
#include "relay/app/relay_entry.h"
#include "relay/app/relay_framing.h"
#include "tests/support/private_network.h"
#include "web/web_entry.h"
#include "web/web_request.h"

namespace {

using engine::HttpRequest;
using relay::RelayKind;

const platform::Ipv4 kLoopback = platform::parseIpv4("127.0.0.1");
// The gzip time of the relay's precompressed documents in these tests.
constexpr std::uint32_t kDocumentTime = 1700000000;
const std::string kDoc1 = "<doc1>" + std::string(3000, 'a') + "</doc1>";

struct Reply {
  std::string bytes;
  bool closed = false;
};

class Client {
 public:
  // From `from` (a loopback address) when given, to `to`.
  explicit Client(std::uint16_t port, platform::Ipv4 from = 0, platform::Ipv4 to = kLoopback) {
    int error;
    socket_ = platform::Socket::tcp(error);
    if (from != 0) {
      EXPECT_EQ(socket_.bind(from, 0), 0);
    }
    EXPECT_EQ(socket_.connect(to, port), 0);
  }
  void send(const std::string& bytes) {
    ASSERT_EQ(::send(socket_.fd(), bytes.data(), bytes.size(), MSG_NOSIGNAL),
              ssize_t(bytes.size()));
  }
  // For a peer that may have closed already: whether all of it went.
  bool trySend(const std::string& bytes) {
    return ::send(socket_.fd(), bytes.data(), bytes.size(), MSG_NOSIGNAL) == ssize_t(bytes.size());
  }
  // Reads until the peer closes or `quietMs` pass without data (bounded by
  // `boundMs`).
  Reply read(int quietMs = 300, int boundMs = 5000) {
    Reply reply;
    const std::int64_t end = platform::monotonicMs() + boundMs;
    while (platform::monotonicMs() < end) {
      pollfd p{socket_.fd(), POLLIN, 0};
      if (::poll(&p, 1, quietMs) <= 0) break;
      char chunk[65536];
      const ssize_t n = ::recv(socket_.fd(), chunk, sizeof chunk, 0);
      if (n <= 0) {
        reply.closed = true;
        break;
      }
      reply.bytes.append(chunk, std::size_t(n));
    }
    return reply;
  }
  Reply exchange(const std::string& request, int quietMs = 300) {
    send(request);
    return read(quietMs);
  }
  // Sends `request` and reads its answer's head, up to the empty line
  // (bounded by 5 s): for answers without a body, one after the other.
  std::string headExchange(const std::string& request) {
    send(request);
    std::string head;
    const std::int64_t end = platform::monotonicMs() + 5000;
    while (head.find("\r\n\r\n") == std::string::npos && platform::monotonicMs() < end) {
      pollfd p{socket_.fd(), POLLIN, 0};
      if (::poll(&p, 1, 1000) <= 0) continue;
      char chunk[4096];
      const ssize_t n = ::recv(socket_.fd(), chunk, sizeof chunk, 0);
      if (n <= 0) break;
      head.append(chunk, std::size_t(n));
    }
    return head;
  }

 private:
  platform::Socket socket_;
};

// The web server answering GET `url` with a generated page of `body`, and
// everything else with its 400.
engine::RequestHandler webPage(std::string url, std::string body) {
  auto site = std::make_shared<web::SiteSettings>();
  return [site, url, body](engine::HttpConnection& connection, HttpRequest& request) {
    web::WebRequest page;
    if (request.method == "GET" && request.url == url) {
      page.kind = web::WebKind::Page;
      page.bodyText = body;
    }
    return web::answerWebRequest(connection, request, page, *site);
  };
}

// One request on a fresh connection: the exact reply, and whether the
// engine closed the connection after it.
struct ExchangeCase {
  std::string request;
  std::string reply;
  bool closed;
};

template <std::size_t N>
void expectExchanges(std::uint16_t port, const ExchangeCase (&cases)[N]) {
  for (const ExchangeCase& c : cases) {
    Client client(port);
    const Reply reply = client.exchange(c.request);
    SCOPED_TRACE(testing::PrintToString(c.request));
    EXPECT_EQ(reply.bytes, c.reply);
    EXPECT_EQ(reply.closed, c.closed);
  }
}

// The relay's playlist as the tests' framing makes it for `host`.
std::string playlistFor(std::string_view host) {
  return "#EXTM3U\n#EXTINF:-1,A\nhttp://" + std::string(host) + "/vkx/239.1.1.1:1\n";
}

// The playlist answers over one channel (playlistFor's), with the gzip time
// of the documents.
std::function<std::shared_ptr<const relay::PlaylistAnswer>(std::string_view)> playlistAnswers() {
  auto list = std::make_shared<relay::ChannelList>();
  list->loadText("#EXTM3U\n#EXTINF:-1,A\nudp://@239.1.1.1:1\n");
  auto answers = std::make_shared<relay::PlaylistAnswers>(kDocumentTime);
  return [list, answers](std::string_view host) { return answers->get(list, host, false); };
}

// The relay's handler over `framing`; a GET of a route's URL is of its kind.
struct Route {
  std::string_view url;
  RelayKind kind;
  std::size_t document = 0;
  relay::StreamAddress stream = {};
};
engine::RequestHandler relayHandler(std::vector<Route> table, relay::RelayFramingSettings framing) {
  relay::RelayRoutes routes;
  routes.get = [table = std::move(table)](std::string_view url, relay::RelayRequest& r) {
    for (const Route& route : table) {
      if (url != route.url) continue;
      r.kind = route.kind;
      r.document = route.document;
      r.stream = route.stream;
    }
  };
  return relay::relayRequestHandler(std::move(routes), std::make_shared<const relay::RelayFraming>(
                                                           std::move(framing), kDocumentTime));
}

class RelayEngine : public ::testing::Test {
 protected:
  void SetUp() override {
    engine::HttpEngineSettings settings = relay::relayEngineSettings(kLoopback, 0);
    settings.serverToken = "Linux/6.1";
    relay::RelayFramingSettings framing;
    framing.documents = {"<doc0/>", kDoc1};
    framing.quitEvent = quit_;
    framing.logText = [] { return std::string("12:00:00 line\r\n"); };
    framing.playlist = playlistAnswers();
    framing.soapResponder = [](relay::SoapCall&, std::string& body) {
      body = "<fault/>";
      return 1;
    };
    framing.initialEvent = [](std::string_view url) {
      return url == "/upnp/event/cds" ? std::string("<b/>") : std::string();
    };
    settings.handler = relayHandler({{"/d0", RelayKind::Document, 0},
                                     {"/d1", RelayKind::Document, 1},
                                     {"/log", RelayKind::GeneratedText},
                                     {"/quit", RelayKind::Quit},
                                     {"/stream", RelayKind::Stream},
                                     {"/soap", RelayKind::Soap},
                                     {"/playlist.m3u", RelayKind::Playlist}},
                                    std::move(framing));
    engine_ = std::make_unique<engine::HttpEngine>(std::move(settings));
    engine_->startListening();
    ASSERT_EQ(engine_->listeningPorts().size(), 1u);
    port_ = engine_->listeningPorts()[0];
  }

  std::shared_ptr<platform::Event> quit_ =
      std::make_shared<platform::Event>(platform::Event::Reset::Manual);
  std::unique_ptr<engine::HttpEngine> engine_;
  std::uint16_t port_ = 0;
};

const std::string kXmlHead = "200 OK\r\nContent-Type: text/xml; charset=UTF-8\r\n";
const std::string kPlaylistHead = "200 OK\r\nContent-Type: audio/x-mpegurl; charset=UTF-8\r\n";
const std::string kLiveFields =
    "Content-Type: video/mpeg\r\ntransferMode.dlna.org: Streaming\r\n"
    "contentFeatures.dlna.org: "
    "DLNA.ORG_OP=00;DLNA.ORG_CI=0;DLNA.ORG_FLAGS=01700000000000000000000000000000\r\n";

// The stream head's DLNA lines, from the playlist's protocolInfo, and only
// for the requests that ask for them.
TEST(StreamHead, DlnaFieldsFromProtocolInfoWhenAsked) {
  const struct {
    std::string request;
    std::string protocolInfo;
    std::string fields;
  } cases[] = {
      {"GET /s HTTP/1.1\r\n\r\n", "video/mp2t:*", ""},
      {"GET /s HTTP/1.1\r\nRange: bytes=0-\r\n\r\n", "video/mp2t:*", ""},
      {"GET /s HTTP/1.1\r\ngetcontentFeatures.dlna.org: 1\r\n\r\n", "", kLiveFields},
      {"GET /s HTTP/1.1\r\nTransferMode.DLNA.ORG: Streaming\r\n\r\n", "*:*", kLiveFields},
      {"HEAD /s HTTP/1.1\r\n\r\n", "video/mp2t:DLNA.ORG_PN=MPEG_TS_SD_EU_ISO;DLNA.ORG_OP=00",
       "Content-Type: video/mp2t\r\ntransferMode.dlna.org: Streaming\r\n"
       "contentFeatures.dlna.org: DLNA.ORG_PN=MPEG_TS_SD_EU_ISO;DLNA.ORG_OP=00\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.request + c.protocolInfo);
    HttpRequest request;
    engine::parseRequest(c.request, request, true);
    const engine::Response head =
        relay::streamHead(request, relay::dlnaStreamFields(c.protocolInfo));
    EXPECT_EQ(head.fields, c.fields);
    EXPECT_FALSE(head.counted);
  }
}

TEST_F(RelayEngine, ExactAnswersAndWhetherTheConnectionStays) {
  // The playlist's URLs name the address and port the client reached.
  const std::string playlist = playlistFor("127.0.0.1:" + std::to_string(port_));
  const std::string playlistLength = "Content-Length: " + std::to_string(playlist.size()) + "\r\n";
  const std::string gzipPlaylist =
      engine::compressBody(true, playlist, engine::kDocumentLevel, kDocumentTime);
  const ExchangeCase cases[] = {
      {"GET /d0 HTTP/1.1\r\n\r\n", "HTTP/1.1 " + kXmlHead + "Content-Length: 7\r\n\r\n<doc0/>",
       false},
      {"GET /d0 HTTP/1.0\r\nAccept-Language: de\r\n\r\n",
       "HTTP/1.0 " + kXmlHead + "Content-Length: 7\r\nContent-Language: en\r\n\r\n<doc0/>", false},
      {"GET /d0 HTTP/1.1\r\nConnection: Close\r\n\r\n",
       "HTTP/1.1 " + kXmlHead + "Content-Length: 7\r\nConnection: close\r\n\r\n<doc0/>", true},
      // The log is plain text a browser shows and never runs.
      {"GET /log HTTP/1.1\r\n\r\n",
       "HTTP/1.1 200 OK\r\nContent-Type: text/plain; charset=utf-8\r\n"
       "X-Content-Type-Options: nosniff\r\nContent-Length: 15\r\n\r\n12:00:00 line\r\n",
       false},
      {"GET /nothing HTTP/1.0\r\n\r\n", "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n",
       true},
      {"GET /nothing HTTP/1.1\r\nAccept-Encoding: identity\r\n\r\n",
       "HTTP/1.1 406 Not Acceptable\r\nContent-Length: 0\r\n\r\n", true},
      // A HEAD gets GET's head, length included, and the connection stays.
      {"HEAD /d0 HTTP/1.1\r\n\r\n", "HTTP/1.1 " + kXmlHead + "Content-Length: 7\r\n\r\n", false},
      {"HEAD /d0 HTTP/1.1\r\nAccept-Encoding: gzip\r\n\r\n",
       "HTTP/1.1 " + kXmlHead + "Content-Encoding: gzip\r\nContent-Length: 27\r\n\r\n", false},
      // A stream's HEAD is answered at once, with what a DLNA player looks for.
      {"HEAD /stream HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK\r\n" + kLiveFields + "\r\n", false},
      {"HEAD /quit HTTP/1.1\r\n\r\n", "", true},
      {"GET /playlist.m3u HTTP/1.1\r\n\r\n",
       "HTTP/1.1 " + kPlaylistHead + playlistLength + "\r\n" + playlist, false},
      {"HEAD /playlist.m3u HTTP/1.1\r\n\r\n", "HTTP/1.1 " + kPlaylistHead + playlistLength + "\r\n",
       false},
      {"GET /playlist.m3u HTTP/1.1\r\nAccept-Encoding: gzip\r\n\r\n",
       "HTTP/1.1 " + kPlaylistHead + "Content-Encoding: gzip\r\nContent-Length: " +
           std::to_string(gzipPlaylist.size()) + "\r\n\r\n" + gzipPlaylist,
       false},
      {"POST /d0 HTTP/1.1\r\nContent-Length: x\r\n\r\n",
       "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n", true},
      // More than the relay's buffer can ever hold: refused at once.
      {"POST /d0 HTTP/1.1\r\nContent-Length: 9223372036854775807\r\n\r\n",
       "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n", true},
      {"POST /d0 HTTP/1.1\r\nContent-Length: 8192\r\n\r\n",
       "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n", true},
      {"UNSUBSCRIBE /upnp/event/cds HTTP/1.1\r\nSID: uuid:x\r\n\r\n",
       "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", false},
      {"GET /stream HTTP/1.1\r\n\r\n", "", true},
  };
  expectExchanges(port_, cases);
  EXPECT_FALSE(quit_->wait(0));  // HEAD /quit only asked
}

// Listening on every address, the relay names in its playlist the one each
// client reached: a client on another LAN gets URLs it can open.
TEST(RelayEnginePlaylist, UrlsNameTheAddressTheClientReached) {
  if (!testsupport::enterPrivateLoopback()) GTEST_SKIP() << "no network namespace of our own";
  engine::HttpEngineSettings settings = relay::relayEngineSettings(0, 0);
  relay::RelayFramingSettings framing;
  framing.playlist = playlistAnswers();
  settings.handler = relayHandler({{"/playlist.m3u", RelayKind::Playlist}}, std::move(framing));
  engine::HttpEngine engine(std::move(settings));
  engine.startListening();
  ASSERT_EQ(engine.listeningPorts().size(), 1u);
  const std::uint16_t port = engine.listeningPorts()[0];
  for (const char* address : {"127.0.0.1", "127.0.0.2"}) {
    Client client(port, 0, platform::parseIpv4(address));
    EXPECT_TRUE(
        client.exchange("GET /playlist.m3u HTTP/1.1\r\n\r\n")
            .bytes.ends_with("\r\n\r\n" + playlistFor(address + (":" + std::to_string(port)))))
        << address;
  }
}

// Accepts the one connection a NOTIFY comes on and answers it; what came.
std::string acceptNotify(const platform::Socket& listener, int waitMs) {
  pollfd p{listener.fd(), POLLIN, 0};
  if (::poll(&p, 1, waitMs) <= 0) return "(nothing)";
  platform::UniqueFd peer(::accept(listener.fd(), nullptr, nullptr));
  std::string bytes;
  char chunk[4096];
  for (pollfd q{peer.get(), POLLIN, 0}; ::poll(&q, 1, 300) > 0;) {
    const ssize_t n = ::recv(peer.get(), chunk, sizeof chunk, 0);
    if (n <= 0) break;
    bytes.append(chunk, std::size_t(n));
  }
  ::send(peer.get(), "HTTP/1.1 200 OK\r\n\r\n", 19, MSG_NOSIGNAL);
  return bytes;
}

TEST_F(RelayEngine, SubscriptionKeepsItsSidAndGetsOneInitialEvent) {
  int error = 0;
  platform::Socket listener = platform::Socket::tcp(error);
  ASSERT_EQ(listener.bind(kLoopback, 0), 0);
  ASSERT_EQ(listener.listen(4), 0);
  platform::Ipv4 address = 0;
  std::uint16_t port = 0;
  ASSERT_EQ(listener.localAddress(address, port), 0);
  const std::string host = "127.0.0.1:" + std::to_string(port);

  // Of the two callbacks only the subscriber's own address is called.
  Client client(port_);
  const Reply granted = client.exchange(
      "SUBSCRIBE /upnp/event/cds HTTP/1.1\r\nCALLBACK: <http://10.0.0.1:" + std::to_string(port) +
      "/><http://" + host + "/ev>\r\nNT: upnp:event\r\nTIMEOUT: Second-300\r\n\r\n");
  std::smatch sid;
  ASSERT_TRUE(std::regex_search(granted.bytes, sid, std::regex("SID: (uuid:[0-9a-f-]{36})\r\n")))
      << granted.bytes;
  EXPECT_EQ(granted.bytes,
            "HTTP/1.1 200 OK\r\nSERVER: Linux/6.1 UPnP/1.0 UPnP-Device-Host/1.0\r\n"
            "TIMEOUT: Second-300\r\nSID: " +
                sid[1].str() + "\r\nCONTENT-LENGTH: 0\r\n\r\n");
  EXPECT_EQ(acceptNotify(listener, 3000),
            "NOTIFY /ev HTTP/1.1\r\nHOST: " + host +
                "\r\nCONTENT-TYPE: text/xml; charset=\"utf-8\"\r\nNT: upnp:event\r\n"
                "NTS: upnp:propchange\r\nSID: " +
                sid[1].str() + "\r\nSEQ: 0\r\nCONTENT-LENGTH: 4\r\n\r\n<b/>");

  // A renewal keeps the SID and gets no event.
  const std::string renewal = "SUBSCRIBE /upnp/event/cds HTTP/1.1\r\nSID: " + sid[1].str() +
                              "\r\nTIMEOUT: Second-5\r\n\r\n";
  EXPECT_EQ(client.exchange(renewal).bytes,
            "HTTP/1.1 200 OK\r\nSERVER: Linux/6.1 UPnP/1.0 UPnP-Device-Host/1.0\r\n"
            "TIMEOUT: Second-60\r\nSID: " +
                sid[1].str() + "\r\nCONTENT-LENGTH: 0\r\n\r\n");
  EXPECT_EQ(acceptNotify(listener, 300), "(nothing)");

  // Once unsubscribed, the SID is unknown.
  EXPECT_EQ(
      client.exchange("UNSUBSCRIBE /upnp/event/cds HTTP/1.1\r\nSID: " + sid[1].str() + "\r\n\r\n")
          .bytes,
      "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
  const Reply refused = client.exchange(renewal);
  EXPECT_EQ(refused.bytes, "HTTP/1.1 412 Precondition Failed\r\nContent-Length: 0\r\n\r\n");
  EXPECT_TRUE(refused.closed);
}

// A host that floods SUBSCRIBE requests fills its own share of the table,
// not the others': a subscriber on another address, granted before the
// flood and closer to its end than any of it, still renews with its SID.
TEST_F(RelayEngine, SubscribeFloodFromOneHostLeavesAnotherHostsSubscription) {
  const std::string subscribe =
      "SUBSCRIBE /upnp/event/cm HTTP/1.1\r\nNT: upnp:event\r\nTIMEOUT: Second-";
  Client subscriber(port_, platform::parseIpv4("127.0.0.3"));
  const std::string granted = subscriber.headExchange(subscribe + "300\r\n\r\n");
  std::smatch sid;
  ASSERT_TRUE(std::regex_search(granted, sid, std::regex("SID: (uuid:[0-9a-f-]{36})\r\n")))
      << granted;

  Client flooder(port_, platform::parseIpv4("127.0.0.2"));
  for (std::size_t i = 0; i < relay::kMostSubscriptions; ++i) {
    const std::string answer = flooder.headExchange(subscribe + "1800\r\n\r\n");
    ASSERT_TRUE(answer.starts_with("HTTP/1.1 200 OK\r\n")) << i << ": " << answer;
  }

  EXPECT_EQ(subscriber.headExchange("SUBSCRIBE /upnp/event/cm HTTP/1.1\r\nSID: " + sid[1].str() +
                                    "\r\nTIMEOUT: Second-300\r\n\r\n"),
            "HTTP/1.1 200 OK\r\nSERVER: Linux/6.1 UPnP/1.0 UPnP-Device-Host/1.0\r\n"
            "TIMEOUT: Second-300\r\nSID: " +
                sid[1].str() + "\r\nCONTENT-LENGTH: 0\r\n\r\n");
}

TEST_F(RelayEngine, KeepAliveServesSeveralRequestsOnOneConnection) {
  Client client(port_);
  for (int i = 0; i < 3; ++i) {
    const Reply reply = client.exchange("GET /d0 HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(reply.bytes.ends_with("<doc0/>"));
    EXPECT_FALSE(reply.closed);
  }
  // Pipelined requests arrive as one text: only the first is answered.
  const Reply reply = client.exchange("GET /d0 HTTP/1.1\r\n\r\nGET /d1 HTTP/1.1\r\n\r\n");
  EXPECT_TRUE(reply.bytes.ends_with("<doc0/>"));
  EXPECT_EQ(reply.bytes.find("doc1"), std::string::npos);
}

TEST_F(RelayEngine, CompressedDocumentsAreThePrecomputedForms) {
  const std::string gzip = engine::compressBody(true, kDoc1, engine::kDocumentLevel, kDocumentTime);
  const std::string deflate =
      engine::compressBody(false, kDoc1, engine::kDocumentLevel, kDocumentTime);
  for (const auto& [coding, form, line] :
       {std::tuple{"gzip", &gzip, "gzip"}, std::tuple{"deflate", &deflate, "deflate"}}) {
    Client client(port_);
    const std::string expected = "HTTP/1.1 " + kXmlHead + "Content-Encoding: " + line +
                                 "\r\nContent-Length: " + std::to_string(form->size()) +
                                 "\r\n\r\n" + *form;
    const std::string request =
        std::string("GET /d1 HTTP/1.1\r\nAccept-Encoding: ") + coding + "\r\n\r\n";
    EXPECT_EQ(client.exchange(request).bytes, expected);
    EXPECT_EQ(client.exchange(request).bytes, expected);  // identical the second time
  }
  EXPECT_LT(gzip.size(), kDoc1.size());
  EXPECT_EQ(std::uint8_t(gzip[0]), 0x1F);
  EXPECT_EQ(std::uint8_t(deflate[0]), 0x78);
}

TEST_F(RelayEngine, SoapFaultCarriesServerLine) {
  Client client(port_);
  const Reply reply = client.exchange("GET /soap HTTP/1.1\r\n\r\n");
  EXPECT_EQ(reply.bytes,
            "HTTP/1.1 500 Internal Server Error\r\nContent-Type: text/xml; charset=UTF-8\r\n"
            "Content-Length: 8\r\nServer: Linux/6.1 UPnP/1.0 UPnP-Device-Host/1.0\r\n\r\n"
            "<fault/>");
}

TEST_F(RelayEngine, QuitSendsNothingAndSignals) {
  Client client(port_);
  const Reply reply = client.exchange("GET /quit HTTP/1.1\r\n\r\n");
  EXPECT_EQ(reply.bytes, "");
  EXPECT_TRUE(reply.closed);
  EXPECT_TRUE(quit_->wait(0));
}

TEST_F(RelayEngine, RequestFillingTheBufferIsClosedWithoutAnswer) {
  Client client(port_);
  const Reply reply = client.exchange("GET /" + std::string(9000, 'a'));
  EXPECT_EQ(reply.bytes, "");
  EXPECT_TRUE(reply.closed);
}

TEST_F(RelayEngine, ShutdownEndsIdleKeepAliveConnections) {
  Client idle(port_);
  Client used(port_);
  EXPECT_FALSE(used.exchange("GET /d0 HTTP/1.1\r\n\r\n").closed);
  engine_->shutdownEvent().set();
  EXPECT_TRUE(idle.read(3000).closed);
  EXPECT_TRUE(used.read(3000).closed);
  int error;
  platform::Socket late = platform::Socket::tcp(error);
  platform::sleepMs(100);
  EXPECT_EQ(late.connect(kLoopback, port_), ECONNREFUSED);  // listener closed
}

// Destroying the engine while clients hold connections open - one kept
// alive after an answer, one that never sent a byte, one in the middle of
// a request - closes every one of them, ends every worker and the accept
// thread, and leaves no descriptor behind. A worker that misses the stop,
// or a socket or event that outlives its owner, shows in the counts.
TEST(EngineDestruction, KeptAliveConnectionsLeaveNoThreadOrDescriptor) {
  const struct {
    const char* name;
    engine::HttpEngineSettings settings;
    std::string keptRequest;
  } cases[] = {
      {"relay", relay::relayEngineSettings(kLoopback, 0), "GET /d0 HTTP/1.1\r\n\r\n"},
      {"web", web::webEngineSettings(0, 0), "GET /d0 HTTP/1.1\r\nConnection: keep-alive\r\n\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::size_t threads = testsupport::threadCount();
    const std::size_t fds = testsupport::entriesIn("/proc/self/fd");
    {
      engine::HttpEngineSettings settings = c.settings;
      settings.printConnections = false;
      if (std::string_view(c.name) == "relay") {
        relay::RelayFramingSettings framing;
        framing.documents = {"<doc0/>"};
        settings.handler = relayHandler({{"/d0", RelayKind::Document}}, std::move(framing));
      } else {
        settings.handler = webPage("/d0", "<doc0/>");
      }
      auto engine = std::make_unique<engine::HttpEngine>(std::move(settings));
      engine->startListening();
      ASSERT_EQ(engine->listeningPorts().size(), 1u);
      const std::uint16_t port = engine->listeningPorts()[0];

      std::vector<std::unique_ptr<Client>> kept;
      for (int i = 0; i < 3; ++i) {
        kept.push_back(std::make_unique<Client>(port));
        const Reply reply = kept.back()->exchange(c.keptRequest, 100);
        EXPECT_TRUE(reply.bytes.ends_with("<doc0/>"));
        ASSERT_FALSE(reply.closed);
      }
      Client silent(port);
      Client halfway(port);
      halfway.send("GET /d0 HTTP/1.1\r\nHost: x\r\n");
      // The accept thread and a worker for each of the five connections.
      ASSERT_TRUE(
          testsupport::eventually([&] { return testsupport::threadCount() == threads + 1 + 5; }));

      engine.reset();
      for (auto& client : kept) EXPECT_TRUE(client->read(3000).closed);
      EXPECT_TRUE(silent.read(3000).closed);
      EXPECT_TRUE(halfway.read(3000).closed);
    }
    // Detached workers end just after closing their connection.
    EXPECT_TRUE(testsupport::eventually([&] { return testsupport::threadCount() == threads; }));
    EXPECT_EQ(testsupport::entriesIn("/proc/self/fd"), fds);
  }
}

// Stream requests for a group that never sends get the silent 500 after
// the receive time-out; the relay then holds each connection no longer
// than the idle time-out, though its client neither leaves nor sends, and
// every worker and receiving thread ends with it.
TEST(RelayEngineStreams, SilentGroupConnectionsEndAtTheIdleTimeOut) {
  if (!testsupport::enterPrivateLoopback()) GTEST_SKIP() << "no network namespace of our own";
  const std::size_t threads = testsupport::threadCount();
  {
    engine::HttpEngineSettings settings = relay::relayEngineSettings(kLoopback, 0);
    settings.idleTimeoutMs = 1000;
    relay::RelaySettings relaySettings;
    relaySettings.receiveAddress = kLoopback;
    relaySettings.recvTimeoutSeconds = 1;
    relay::RelayFramingSettings framing;
    framing.stream = relay::streamHandoff(relaySettings);
    settings.handler = relayHandler(
        {{"/silent", RelayKind::Stream, 0, {platform::parseIpv4("239.255.0.9"), 5500}}},
        std::move(framing));
    engine::HttpEngine engine(std::move(settings));
    engine.startListening();
    ASSERT_EQ(engine.listeningPorts().size(), 1u);

    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < 8; ++i) {
      clients.push_back(std::make_unique<Client>(engine.listeningPorts()[0]));
      clients.back()->send("GET /silent HTTP/1.1\r\n\r\n");
    }
    // Bounded well past both time-outs; how soon is not the point.
    const std::int64_t deadline = platform::monotonicMs() + 20000;
    for (auto& client : clients) {
      const int left = int(std::max<std::int64_t>(1, deadline - platform::monotonicMs()));
      const Reply reply = client->read(left, left);
      EXPECT_EQ(reply.bytes, "HTTP/1.1 500 Internal Server Error\r\nContent-Length: 0\r\n\r\n");
      EXPECT_TRUE(reply.closed);
    }
    // Only the accept thread is left.
    EXPECT_TRUE(testsupport::eventually([&] { return testsupport::threadCount() == threads + 1; }));
  }
  EXPECT_TRUE(testsupport::eventually([&] { return testsupport::threadCount() == threads; }));
}

// The relay's guards on one engine: the commands and status pages answer
// --admin-allow's hosts alone (127.0.0.1 here, not 127.0.0.2), streams and
// lists only requests with the token, and streams past --max-clients get
// 503 with Retry-After, also when they all come at once; the status pages
// count each refusal.
TEST(RelayEngineGuards, AdminTokenAndMaxClients) {
  engine::HttpEngineSettings settings = relay::relayEngineSettings(kLoopback, 0);
  relay::RelayFramingSettings framing;
  auto quit = std::make_shared<platform::Event>(platform::Event::Reset::Manual);
  framing.quitEvent = quit;
  framing.logText = [] { return std::string("line\r\n"); };
  framing.status = [](relay::StatusView, const relay::RefusalCounts& r) {
    return std::to_string(r.admin) + " " + std::to_string(r.token) + " " +
           std::to_string(r.maxClients);
  };
  framing.playlist = playlistAnswers();
  framing.adminAllow = *platform::AddressList::parse("127.0.0.1");
  framing.token = "s3cret";
  framing.maxClients = 2;
  // A stream sends its head and holds its place until `release`.
  auto release = std::make_shared<platform::Event>(platform::Event::Reset::Manual);
  framing.stream = [release](engine::HttpConnection& connection, const HttpRequest& request,
                             const relay::StreamAddress&, const engine::Response& head) {
    connection.sendAll(engine::responseHead(connection.settings(), request, head));
    release->wait(10000);
  };
  relay::RelayRoutes routes;
  routes.get = [](std::string_view url, relay::RelayRequest& r) {
    static const std::map<std::string_view, RelayKind> kinds = {
        {"/quit", RelayKind::Quit},     {"/log", RelayKind::GeneratedText},
        {"/status", RelayKind::Status}, {"/stream", RelayKind::Stream},
        {"/epg.xml", RelayKind::Guide}, {"/playlist.m3u", RelayKind::Playlist},
        {"/d0", RelayKind::Document}};
    if (const auto kind = kinds.find(url.substr(0, url.find('?'))); kind != kinds.end()) {
      r.kind = kind->second;
    }
  };
  settings.handler = relay::relayRequestHandler(
      routes, std::make_shared<const relay::RelayFraming>(std::move(framing), kDocumentTime));
  engine::HttpEngine engine(std::move(settings));
  engine.startListening();
  ASSERT_EQ(engine.listeningPorts().size(), 1u);
  const std::uint16_t port = engine.listeningPorts()[0];

  const platform::Ipv4 admin = kLoopback;
  const platform::Ipv4 other = platform::parseIpv4("127.0.0.2");
  const std::string forbidden = "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n";
  const std::string busy =
      "HTTP/1.1 503 Service Unavailable\r\nRetry-After: 5\r\nContent-Length: 0\r\n\r\n";
  const std::string bearer = "Authorization: Bearer s3cret\r\n";
  const struct {
    platform::Ipv4 from;
    std::string request;
    std::string statusLine;  // the reply's first line; all of it for a refusal
  } cases[] = {
      {other, "GET /quit HTTP/1.1\r\n\r\n", forbidden},
      {other, "HEAD /quit HTTP/1.1\r\n\r\n", forbidden},
      {other, "GET /log HTTP/1.1\r\n\r\n", forbidden},
      {other, "HEAD /status HTTP/1.1\r\n\r\n", forbidden},
      {other, "GET /status?token=s3cret HTTP/1.1\r\n" + bearer + "\r\n", forbidden},
      {admin, "GET /log HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK"},
      {admin, "HEAD /status HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK"},
      {other, "GET /d0 HTTP/1.1\r\n\r\n", "HTTP/1.1 400 Bad Request"},  // a document: no 403
      // Which requests carry the token is requestCarriesToken's table.
      {admin, "GET /playlist.m3u HTTP/1.1\r\n\r\n", forbidden},
      {other, "HEAD /playlist.m3u HTTP/1.1\r\n" + bearer + "\r\n", "HTTP/1.1 200 OK"},
      {other, "GET /epg.xml HTTP/1.1\r\n\r\n", forbidden},
      {other, "GET /epg.xml?token=s3cret HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found"},
      {other, "HEAD /stream?token=wrong HTTP/1.1\r\n\r\n", forbidden},
      {other, "HEAD /stream?token=s3cret HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK"},
  };
  for (const auto& c : cases) {
    Client client(port, c.from);
    SCOPED_TRACE(testing::PrintToString(c.request));
    const std::string reply = client.exchange(c.request).bytes;
    if (c.statusLine.ends_with("\r\n\r\n")) {
      EXPECT_EQ(reply, c.statusLine);
    } else {
      EXPECT_EQ(reply.substr(0, reply.find("\r\n")), c.statusLine);
    }
  }
  EXPECT_FALSE(quit->wait(0));  // the refused quit stopped nothing

  // Eight streams at once, two places: two run, six are refused; a HEAD
  // takes none.
  std::vector<std::unique_ptr<Client>> streams;
  for (int i = 0; i < 8; ++i) {
    streams.push_back(std::make_unique<Client>(port, other));
    streams.back()->send("GET /stream?token=s3cret HTTP/1.1\r\n\r\n");
  }
  int running = 0;
  for (auto& stream : streams) {
    const std::string head = stream->headExchange("");
    if (head.starts_with("HTTP/1.1 200 OK\r\n")) {
      ++running;
    } else {
      EXPECT_EQ(head, busy);
    }
  }
  EXPECT_EQ(running, 2);
  EXPECT_TRUE(Client(port, other)
                  .exchange("HEAD /stream?token=s3cret HTTP/1.1\r\n\r\n")
                  .bytes.starts_with("HTTP/1.1 200 OK\r\n"));
  // Once the streams end, their places are free again.
  release->set();
  for (auto& stream : streams) EXPECT_TRUE(stream->read().closed);
  EXPECT_TRUE(Client(port, other)
                  .exchange("GET /stream?" + std::string("a=1&token=s3cret") + " HTTP/1.1\r\n\r\n")
                  .bytes.starts_with("HTTP/1.1 200 OK\r\n"));

  // admin, token, max-clients refusals; then the allowed quit.
  EXPECT_TRUE(Client(port, admin)
                  .exchange("GET /status HTTP/1.1\r\n\r\n")
                  .bytes.ends_with("\r\n\r\n5 3 6"));
  EXPECT_TRUE(Client(port, admin).exchange("GET /quit HTTP/1.1\r\n\r\n").closed);
  EXPECT_TRUE(quit->wait(0));
}

class WebEngine : public ::testing::Test {
 protected:
  void start(int idleMs = 15000) {
    engine::HttpEngineSettings settings = web::webEngineSettings(0, 0);
    settings.printConnections = false;
    settings.idleTimeoutMs = idleMs;
    settings.handler = webPage("/page", "<p>hi</p>");
    engine_ = std::make_unique<engine::HttpEngine>(std::move(settings));
    engine_->startListening();
    ASSERT_EQ(engine_->listeningPorts().size(), 1u);  // loopback only
    port_ = engine_->listeningPorts()[0];
  }
  std::unique_ptr<engine::HttpEngine> engine_;
  std::uint16_t port_ = 0;
};

TEST_F(WebEngine, CloseByDefaultKeepAliveOnRequest) {
  start();
  EXPECT_EQ(engine_->core().settings.bufferSize, 4096u);
  const std::string page = "200 OK\r\nContent-Type: text/html\r\nContent-Length: 9\r\n";
  const ExchangeCase cases[] = {
      {"GET /page HTTP/1.1\r\n\r\n", "HTTP/1.1 " + page + "Connection: Close\r\n\r\n<p>hi</p>",
       true},
      {"GET /page HTTP/1.0\r\nConnection: keep-alive\r\nAccept-Language: x\r\n\r\n",
       "HTTP/1.0 " + page +
           "Connection: Keep-Alive\r\nKeep-Alive: timeout=15\r\nContent-Language: en\r\n\r\n"
           "<p>hi</p>",
       false},
      {"GET /none HTTP/1.0\r\nConnection: keep-alive\r\n\r\n",
       "HTTP/1.0 400 Bad Request\r\nConnection: close\r\nContent-Length: 0\r\n\r\n", true},
  };
  expectExchanges(port_, cases);
}

// A body that could never fit the request limit is refused as soon as the
// head is in, not waited for until the idle time-out; no length, however
// many digits, overflows on the way.
TEST_F(WebEngine, LengthBeyondTheLimitIsRefusedAtOnce) {
  start();
  const std::string refused =
      "HTTP/1.1 400 Bad Request\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
  const ExchangeCase cases[] = {
      {"POST /page HTTP/1.1\r\nContent-Length: 9223372036854775807\r\n\r\nabc", refused, true},
      {"POST /page HTTP/1.1\r\nContent-Length: 18446744073709551616\r\n\r\nabc", refused, true},
      {"POST /page HTTP/1.1\r\nContent-Length: 10240000\r\n\r\nabc", refused, true},
  };
  expectExchanges(port_, cases);
}

// The Keep-Alive line promises the idle time-out the connection is held for.
TEST_F(WebEngine, KeepAliveLineNamesTheIdleTimeOut) {
  start(7000);
  Client client(port_);
  const Reply reply = client.exchange("GET /page HTTP/1.1\r\nConnection: keep-alive\r\n\r\n");
  EXPECT_NE(reply.bytes.find("\r\nKeep-Alive: timeout=7\r\n"), std::string::npos) << reply.bytes;
}

TEST_F(WebEngine, IdleConnectionIsClosedAtTheTimeOut) {
  start(200);
  Client client(port_);
  EXPECT_FALSE(client.exchange("GET /page HTTP/1.1\r\nConnection: keep-alive\r\n\r\n", 50).closed);
  EXPECT_TRUE(client.read(2000).closed);
}

// On a shared network: a host outside the allow-list, and one past its
// number of open connections, are closed at once, unread; a request head
// must be in within the head time-out of its first byte, on every request
// of a kept connection, while the idle wait before a request stays as long
// as the idle time-out. Each refusal is counted under its reason.
TEST(EngineOnSharedNetwork, RefusesOutsidersExtraConnectionsAndSlowHeads) {
  using Counter = std::atomic<std::uint64_t> engine::EngineRefusals::*;
  constexpr Counter kNone = nullptr;
  constexpr int kHeadMs = 1000;
  const std::string kKept = "GET /page HTTP/1.1\r\nConnection: keep-alive\r\n\r\n";
  engine::HttpEngineSettings settings = web::webEngineSettings(0, 0);
  settings.printConnections = false;
  settings.handler = webPage("/page", "<p>hi</p>");
  settings.allow = *platform::AddressList::parse("127.0.0.0/30,127.0.0.5");
  settings.maxConnectionsPerHost = 2;
  settings.headTimeoutMs = kHeadMs;
  settings.idleTimeoutMs = 15000;
  engine::HttpEngine engine(std::move(settings));
  engine.startListening();
  ASSERT_EQ(engine.listeningPorts().size(), 1u);
  const std::uint16_t port = engine.listeningPorts()[0];
  const engine::EngineRefusals& refusals = engine.core().refusals;

  struct Piece {
    int afterMs;
    std::string bytes;
  };
  // A head that never ends, a line every 100 ms: never idle, always too slow.
  std::vector<Piece> trickle = {{0, "GET /page HTTP/1.1\r\n"}};
  for (int i = 0; i < 3 * kHeadMs / 100; ++i) trickle.push_back({100, "X-Line: 1\r\n"});
  std::vector<Piece> keptThenTrickle = {{0, kKept}};
  keptThenTrickle.insert(keptThenTrickle.end(), trickle.begin(), trickle.end());
  keptThenTrickle[1].afterMs = 200;  // after the answer: no request follows another unasked
  const struct {
    const char* name;
    const char* from;
    std::vector<Piece> pieces;
    int answers;
    bool closed;
    Counter counted;
  } cases[] = {
      {"allowed host", "127.0.0.2", {{0, kKept}}, 1, false, kNone},
      {"allowed single address", "127.0.0.5", {{0, kKept}}, 1, false, kNone},
      {"host outside the list",
       "127.0.0.9",
       {{0, kKept}},
       0,
       true,
       &engine::EngineRefusals::allowList},
      {"head in pieces, in time",
       "127.0.0.2",
       {{0, "GET /page HTTP/1.1\r\n"}, {20, "Connection: keep-alive\r\n"}, {20, "\r\n"}},
       1,
       false,
       kNone},
      {"slow head", "127.0.0.2", trickle, 0, true, &engine::EngineRefusals::slowHead},
      {"idle longer than the head time-out, then a whole request",
       "127.0.0.2",
       {{0, kKept}, {kHeadMs + kHeadMs / 2, kKept}},
       2,
       false,
       kNone},
      {"second request's slow head", "127.0.0.2", keptThenTrickle, 1, true,
       &engine::EngineRefusals::slowHead},
  };
  Counter all[] = {&engine::EngineRefusals::allowList, &engine::EngineRefusals::perHost,
                   &engine::EngineRefusals::slowHead};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const platform::Ipv4 from = platform::parseIpv4(c.from);
    // The last case's connection has given its host's count back.
    ASSERT_TRUE(testsupport::eventually([&] { return engine.core().hosts.openOf(from) == 0; }));
    std::uint64_t before[3];
    for (int i = 0; i < 3; ++i) before[i] = (refusals.*all[i]).load();
    Client client(port, from);
    for (const Piece& piece : c.pieces) {
      platform::sleepMs(piece.afterMs);
      if (!client.trySend(piece.bytes)) break;  // closed by the engine
    }
    const Reply reply = client.read(c.closed ? 4000 : 300, 5000);
    std::size_t answers = 0;
    for (std::size_t at = 0;
         (at = reply.bytes.find("HTTP/1.1 200 OK\r\n", at)) != std::string::npos; ++at) {
      ++answers;
    }
    EXPECT_EQ(answers, std::size_t(c.answers)) << reply.bytes;
    EXPECT_EQ(reply.closed, c.closed);
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ((refusals.*all[i]).load(), before[i] + (all[i] == c.counted ? 1 : 0)) << i;
    }
  }

  // Two connections of one host at once: a third is closed unread while
  // another host is served; once one of the two ends, its slot is free.
  const platform::Ipv4 busy = platform::parseIpv4("127.0.0.3");
  std::vector<std::unique_ptr<Client>> held;
  for (int i = 0; i < 2; ++i) {
    held.push_back(std::make_unique<Client>(port, busy));
    EXPECT_FALSE(held.back()->exchange(kKept).closed);
  }
  EXPECT_EQ(engine.core().hosts.openOf(busy), 2u);
  const std::uint64_t perHost = refusals.perHost.load();
  Client third(port, busy);
  const Reply refused = third.exchange(kKept, 3000);
  EXPECT_EQ(refused.bytes, "");
  EXPECT_TRUE(refused.closed);
  EXPECT_EQ(refusals.perHost.load(), perHost + 1);
  Client other(port, platform::parseIpv4("127.0.0.2"));
  EXPECT_NE(other.exchange(kKept).bytes.find("<p>hi</p>"), std::string::npos);
  held.pop_back();
  ASSERT_TRUE(testsupport::eventually([&] { return engine.core().hosts.openOf(busy) == 1; }));
  Client fourth(port, busy);
  EXPECT_NE(fourth.exchange(kKept).bytes.find("<p>hi</p>"), std::string::npos);
  EXPECT_EQ(refusals.perHost.load(), perHost + 1);
}

}  // namespace
