#include "web/web_request.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>

#include "engine/compression.h"
#include "engine/request_parser.h"
#include "web/web_entry.h"

namespace web {
namespace {

engine::HttpRequest parsed(const std::string& raw) {
  engine::HttpRequest request;
  engine::parseRequest(raw, request, webEngineSettings(0, 0).keepAliveByDefault);
  return request;
}

TEST(ClassifyWebRequest, HeaderValuesAndMethods) {
  SiteSettings site;
  site.rootDocument = "index.html";
  struct Case {
    std::string request;
    WebKind kind;
    std::string filePath;
    bool rangeRequested;
    std::int64_t rangeStart;
    std::int64_t rangeLength;
  };
  const Case cases[] = {
      {"GET /a.txt HTTP/1.1\r\nRange: bytes=10-19\r\n\r\n", WebKind::File, "a.txt", true, 10, 10},
      // Any If-Range asks for the whole file, before or after the Range line.
      {"GET /a.txt HTTP/1.1\r\nRange: bytes=10-19\r\nIf-Range: x\r\n\r\n", WebKind::File, "a.txt",
       false, 10, 10},
      {"GET /a.txt HTTP/1.1\r\nIf-Range: x\r\nRange: bytes=10-19\r\n\r\n", WebKind::File, "a.txt",
       false, 10, 10},
      {"GET / HTTP/1.0\r\n\r\n", WebKind::File, "index.html", false, 0, 0},
      {"GET /docs/ HTTP/1.1\r\n\r\n", WebKind::Page, "", false, 0, 0},
      {"POST /f.php HTTP/1.1\r\nContent-Length: 0\r\n\r\n", WebKind::Php, "/f.php", false, 0, 0},
      // A POST names its script as a GET does, and anything else is what the
      // GET gets: a query names path + ".php", never the path itself.
      {"POST /notes.txt?x=1 HTTP/1.1\r\nContent-Length: 0\r\n\r\n", WebKind::Php, "/notes.txt.php",
       false, 0, 0},
      {"POST /tool.exe?x HTTP/1.1\r\nContent-Length: 0\r\n\r\n", WebKind::Php, "/tool.exe.php",
       false, 0, 0},
      {"POST /notes.txt HTTP/1.1\r\nContent-Length: 0\r\n\r\n", WebKind::File, "notes.txt", false,
       0, 0},
      {"POST /tool.exe HTTP/1.1\r\nContent-Length: 0\r\n\r\n", WebKind::Error, "", false, 0, 0},
      {"POST /docs/ HTTP/1.1\r\nContent-Length: 0\r\n\r\n", WebKind::Page, "", false, 0, 0},
      {"POST / HTTP/1.1\r\nContent-Length: 0\r\n\r\n", WebKind::File, "index.html", false, 0, 0},
      {"POST /f%2ephp HTTP/1.1\r\nContent-Length: 0\r\n\r\n", WebKind::Php, "/f.php", false, 0, 0},
      // A SOAP request is no form post.
      {"POST /f.php HTTP/1.1\r\nSOAPACTION: \"x\"\r\nContent-Length: 0\r\n\r\n", WebKind::Error, "",
       false, 0, 0},
      // Methods are compared as sent; only GET, HEAD and POST are answered.
      {"get /a.txt HTTP/1.1\r\n\r\n", WebKind::Error, "", false, 0, 0},
      {"HEAD /a.txt HTTP/1.1\r\nRange: bytes=10-19\r\n\r\n", WebKind::File, "a.txt", true, 10, 10},
      {"PUT /f.php HTTP/1.1\r\nContent-Length: 0\r\n\r\n", WebKind::Error, "", false, 0, 0},
      // Without " HTTP" after the target there is no URL.
      {"GET /a.txt\r\n\r\n", WebKind::Error, "", false, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.request);
    engine::HttpRequest request = parsed(c.request);
    const WebRequest web = classifyWebRequest(request, site);
    EXPECT_EQ(web.kind, c.kind);
    EXPECT_EQ(web.filePath, c.filePath);
    EXPECT_EQ(web.rangeRequested, c.rangeRequested);
    EXPECT_EQ(web.rangeStart, c.rangeStart);
    EXPECT_EQ(web.rangeLength, c.rangeLength);
  }

  engine::HttpRequest request = parsed(
      "POST /f.php HTTP/1.1\r\nContent-Type: text/plain\r\nCookie: a=1\r\nIf-Range: \"e\"\r\n"
      "User-Agent: probe/1\r\nContent-Length: 0\r\n\r\n");
  const WebRequest web = classifyWebRequest(request, site);
  EXPECT_EQ(web.contentType, "text/plain");
  EXPECT_EQ(web.cookie, "a=1");
  EXPECT_EQ(web.ifRange, "\"e\"");
  EXPECT_EQ(web.userAgent, "probe/1");

  engine::HttpRequest malformed;
  malformed.malformed = true;
  EXPECT_EQ(classifyWebRequest(malformed, site).kind, WebKind::Error);
}

// The answers that are no file and no script, on one end of a socket pair.
class WebAnswer : public ::testing::Test {
 protected:
  void SetUp() override {
    int ends[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, ends), 0);
    core_ = std::make_shared<engine::EngineCore>();
    core_->settings = webEngineSettings(0, 0);
    core_->startTime = 1700000000;
    connection_ = std::make_unique<engine::HttpConnection>(core_, platform::UniqueFd(ends[0]));
    peer_ = platform::UniqueFd(ends[1]);
  }
  // Answers and gives what was sent; false when the answer itself closes
  // the connection (the engine closes it too after Connection: Close).
  bool answer(engine::HttpRequest& request, WebRequest web, std::string& sent) {
    const bool keep = answerWebRequest(*connection_, request, web, site_);
    sent.clear();
    char chunk[4096];
    ssize_t n;
    while ((n = ::recv(peer_.get(), chunk, sizeof chunk, MSG_DONTWAIT)) > 0) {
      sent.append(chunk, std::size_t(n));
    }
    return keep;
  }

  SiteSettings site_;
  std::shared_ptr<engine::EngineCore> core_;
  std::unique_ptr<engine::HttpConnection> connection_;
  platform::UniqueFd peer_;
};

TEST_F(WebAnswer, PageAndBadRequestBytes) {
  const std::string page = "<p>hi</p>";
  const std::string deflated =
      engine::compressBody(false, page, engine::kResponseLevel, core_->startTime);
  const std::string head = "200 OK\r\nContent-Type: text/html\r\n";
  const std::string bad = "400 Bad Request\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
  struct Case {
    std::string request;
    WebKind kind;
    bool compression;
    std::string expected;
    bool closes;
  };
  const Case cases[] = {
      {"GET /p HTTP/1.1\r\n\r\n", WebKind::Page, true,
       "HTTP/1.1 " + head + "Content-Length: 9\r\nConnection: Close\r\n\r\n" + page, false},
      {"GET /p HTTP/1.0\r\nConnection: keep-alive\r\nAccept-Language: x\r\n\r\n", WebKind::Page,
       true,
       "HTTP/1.0 " + head +
           "Content-Length: 9\r\nConnection: Keep-Alive\r\nKeep-Alive: timeout=15\r\n"
           "Content-Language: en\r\n\r\n" +
           page,
       false},
      {"GET /p HTTP/1.1\r\nAccept-Encoding: deflate\r\n\r\n", WebKind::Page, true,
       "HTTP/1.1 " + head + "Content-Encoding: deflate\r\nContent-Length: " +
           std::to_string(deflated.size()) + "\r\nConnection: Close\r\n\r\n" + deflated,
       false},
      {"GET /p HTTP/1.1\r\nAccept-Encoding: deflate\r\n\r\n", WebKind::Page, false,
       "HTTP/1.1 " + head + "Content-Length: 9\r\nConnection: Close\r\n\r\n" + page, false},
      // The 400 closes even a kept connection, and has no connection lines.
      {"PUT /p HTTP/1.0\r\nConnection: keep-alive\r\n\r\n", WebKind::Error, true, "HTTP/1.0 " + bad,
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.request);
    site_.compressionEnabled = c.compression;
    engine::HttpRequest request = parsed(c.request);
    WebRequest web;
    web.kind = c.kind;
    web.bodyText = page;
    std::string sent;
    EXPECT_EQ(answer(request, web, sent), !c.closes);
    EXPECT_EQ(sent, c.expected);
  }

  // A malformed request gets the 400 whatever it was classified as.
  engine::HttpRequest malformed;
  malformed.malformed = true;
  WebRequest web;
  web.kind = WebKind::Page;
  std::string sent;
  EXPECT_FALSE(answer(malformed, web, sent));
  EXPECT_EQ(sent, "HTTP/1.1 " + bad);
}

}  // namespace
}  // namespace web
