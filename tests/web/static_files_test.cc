#include "web/static_files.h"

#include <gtest/gtest.h>

#include "web/web_options.h"

namespace web {
namespace {

TEST(UrlDecode, DecodesPlusAndPercentOnly) {
  const std::pair<std::string_view, std::string> cases[] = {
      {"a+b", "a b"},  {"%41%62", "Ab"}, {"%2e%2E", ".."}, {"%00x", std::string("\0x", 2)},
      {"%ff", "\xff"}, {"100%", "100%"}, {"%4", "%4"},     {"%zz%4g", "%zz%4g"},
      {"%%41", "%A"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(urlDecode(in), out) << in;
}

TEST(ParseRange, ReadsTheThreeFormsAndIgnoresTheRest) {
  struct Case {
    std::string_view value;
    bool requested;
    std::int64_t start;
    std::int64_t length;
  };
  const Case cases[] = {
      {"bytes=0-499", true, 0, 500},
      {" bytes=500-\r\n", true, 500, 0},
      {"bytes=-200", true, 0, -200},
      {"bytes=5000000000-5000000009", true, 5000000000, 10},
      {"bytes=5-5", true, 5, 1},
      {"bytes=5-4", false, 0, 0},  // last before first: no range at all
      {"bytes=5-3", false, 0, 0},
      {"bytes=x-", false, 0, 0},
      {"bytes=0-1,5-6", false, 0, 0},
      {"items=0-1", false, 0, 0},
      {"bytes=7", false, 0, 0},
      {"Bytes=0-1", false, 0, 0},
  };
  for (const Case& c : cases) {
    engine::HttpRequest request;
    parseRange(c.value, request);
    EXPECT_EQ(request.rangeRequested, c.requested) << c.value;
    EXPECT_EQ(request.rangeStart, c.start) << c.value;
    EXPECT_EQ(request.rangeLength, c.length) << c.value;
  }
}

TEST(ByteWindow, RangesOfAThousandByteFile) {
  struct Case {
    std::string_view range;
    bool satisfiable;
    std::uint64_t offset;
    std::uint64_t length;
  };
  const Case cases[] = {
      {"", true, 0, 1000},
      {"bytes=0-499", true, 0, 500},
      {"bytes=0-999", true, 0, 1000},
      {"bytes=0-1000", false, 0, 0},
      {"bytes=500-", true, 500, 500},
      {"bytes=-200", true, 800, 200},
      {"bytes=1000-", true, 1000, 0},
      {"bytes=1001-", false, 0, 0},
      {"bytes=-1000", true, 0, 1000},
      {"bytes=-1001", false, 0, 0},
      {"bytes=5-4", true, 0, 1000},
      {"bytes=5-3", true, 0, 1000},
      {"bytes=999-999", true, 999, 1},
  };
  for (const Case& c : cases) {
    engine::HttpRequest request;
    parseRange(c.range, request);
    const std::optional<ByteWindow> window = byteWindow(request, 1000);
    ASSERT_EQ(window.has_value(), c.satisfiable) << c.range;
    if (!window) continue;
    EXPECT_EQ(window->offset, c.offset) << c.range;
    EXPECT_EQ(window->length, c.length) << c.range;
  }
  // 64-bit: a range past 4 GiB of a 5 GiB file.
  engine::HttpRequest request;
  parseRange("bytes=5368709117-5368709119", request);
  const std::optional<ByteWindow> window = byteWindow(request, 5368709120);
  ASSERT_TRUE(window);
  EXPECT_EQ(window->offset, 5368709117u);
  EXPECT_EQ(window->length, 3u);
}

TEST(ContainedPath, RefusesEveryWayUp) {
  const std::pair<std::string_view, bool> cases[] = {
      {"css/site.css", true},
      {"a..b/..c", true},
      {"...", true},
      {"..", false},
      {"../etc/passwd", false},
      {"a/../../b", false},
      {"a\\..\\b", false},
      {"a/..\\b", false},
      {"a/..", false},
      {std::string_view("a\0b", 3), false},
  };
  for (const auto& [path, contained] : cases) EXPECT_EQ(isContainedPath(path), contained) << path;
}

TEST(ResolveGet, ClassifiesUrls) {
  struct Case {
    std::string_view url;
    int kind;
    std::string filePath;
  };
  const Case cases[] = {
      {"/", engine::webkind::kFile, "index.html"},
      {"/css/site.css", engine::webkind::kFile, "css/site.css"},
      {"/a%20b.txt", engine::webkind::kFile, "a b.txt"},
      {"/a+b.txt", engine::webkind::kFile, "a b.txt"},
      // Backslashes come off the ends first, then slashes.
      {"/\\/x.txt\\", engine::webkind::kFile, "\\/x.txt"},
      {"/docs/", engine::webkind::kPage, ""},
      {"/setup.exe", engine::webkind::kError, ""},
      {"/setup.EXE", engine::webkind::kFile, "setup.EXE"},
      {"/page.PHP", engine::webkind::kFile, "page.PHP"},
      {"/news.php", engine::webkind::kPhp, "/news.php"},
      {"/news?id=3", engine::webkind::kPhp, "/news.php"},
      {"/news.php?id=3", engine::webkind::kPhp, "/news.php.php"},
  };
  SiteSettings site;
  site.rootDocument = "index.html";
  for (const Case& c : cases) {
    engine::HttpRequest request;
    request.reset(engine::Variant::Web);
    resolveGet(c.url, request, site);
    EXPECT_EQ(request.kind, c.kind) << c.url;
    EXPECT_EQ(request.filePath, c.filePath) << c.url;
  }
}

TEST(WebCommandLine, LastOccurrenceWinsAndValuesAreTakenAsTheyAre) {
  struct Case {
    std::vector<std::string> args;
    WebOptions expected;
  };
  WebOptions defaults;
  defaults.servePath = "/opt/site/www/";
  WebOptions quietPort = defaults;
  quietPort.quiet = true;
  quietPort.portText = "8080";
  WebOptions taken = defaults;
  taken.rootDocument = "-q";
  taken.listenInterface = "10.0.0.2";
  WebOptions paths = defaults;
  paths.servePath = "/srv/";
  paths.phpPath = "/opt/php/";
  paths.phpHttpHost = "example";
  const Case cases[] = {
      {{"ondrel"}, defaults},
      {{"ondrel", "-q", "-lp", "8080"}, quietPort},
      {{"ondrel", "-rd", "-q", "-x", "-li", "1.1.1.1", "-li", "10.0.0.2"}, taken},
      {{"ondrel", "-sp", "/srv/", "-pp", "/opt/php/", "-phh", "example", "-lp"}, paths},
  };
  for (const Case& c : cases) {
    const WebOptions got = parseWebCommandLine(c.args, "/opt/site/");
    EXPECT_EQ(got.listenInterface, c.expected.listenInterface);
    EXPECT_EQ(got.portText, c.expected.portText);
    EXPECT_EQ(got.rootDocument, c.expected.rootDocument);
    EXPECT_EQ(got.phpPath, c.expected.phpPath);
    EXPECT_EQ(got.servePath, c.expected.servePath);
    EXPECT_EQ(got.phpHttpHost, c.expected.phpHttpHost);
    EXPECT_EQ(got.quiet, c.expected.quiet);
  }
}

// Found by fuzzing: a last byte of 2^63 - 1 overflowed the range's length
// (first 0) or its end (any other first). Such a range reaches past the end
// of any file: 416, whatever the file's size.
TEST(ByteWindow, LargestLastBytePositionIsPastEveryEnd) {
  const std::string_view ranges[] = {
      "bytes=0-9223372036854775807",
      "bytes=5-9223372036854775807",
      "bytes=9223372036854775806-9223372036854775807",
      "bytes=9223372036854775807-9223372036854775807",
  };
  const std::uint64_t sizes[] = {0, 1000, 5368709120, 9223372036854775806u};
  for (std::string_view range : ranges) {
    engine::HttpRequest request;
    parseRange(range, request);
    EXPECT_TRUE(request.rangeRequested) << range;
    for (std::uint64_t size : sizes) {
      EXPECT_FALSE(byteWindow(request, size).has_value()) << range << " of " << size;
    }
  }
}

}  // namespace
}  // namespace web
