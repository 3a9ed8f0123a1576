#include "web/static_files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/clock.h"
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
    WebRequest web;
    parseRange(c.value, web);
    EXPECT_EQ(web.rangeRequested, c.requested) << c.value;
    EXPECT_EQ(web.rangeStart, c.start) << c.value;
    EXPECT_EQ(web.rangeLength, c.length) << c.value;
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
    WebRequest web;
    parseRange(c.range, web);
    const std::optional<ByteWindow> window = byteWindow(web, 1000);
    ASSERT_EQ(window.has_value(), c.satisfiable) << c.range;
    if (!window) continue;
    EXPECT_EQ(window->offset, c.offset) << c.range;
    EXPECT_EQ(window->length, c.length) << c.range;
  }
  // 64-bit: a range past 4 GiB of a 5 GiB file.
  WebRequest web;
  parseRange("bytes=5368709117-5368709119", web);
  const std::optional<ByteWindow> window = byteWindow(web, 5368709120);
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

struct ClassifyCase {
  std::string_view url;
  WebKind kind;
  std::string filePath;
};

// Each URL's kind and file path as resolveGet gives them.
template <std::size_t N>
void expectClassified(const ClassifyCase (&cases)[N]) {
  SiteSettings site;
  site.rootDocument = "index.html";
  for (const ClassifyCase& c : cases) {
    engine::HttpRequest request;
    WebRequest web;
    resolveGet(c.url, request, web, site);
    EXPECT_EQ(web.kind, c.kind) << c.url;
    EXPECT_EQ(web.filePath, c.filePath) << c.url;
  }
}

TEST(ResolveGet, ClassifiesUrls) {
  const ClassifyCase cases[] = {
      {"/", WebKind::File, "index.html"},
      {"/css/site.css", WebKind::File, "css/site.css"},
      {"/a%20b.txt", WebKind::File, "a b.txt"},
      {"/a+b.txt", WebKind::File, "a b.txt"},
      // Backslashes come off the ends first, then slashes.
      {"/\\/x.txt\\", WebKind::File, "\\/x.txt"},
      {"/docs/", WebKind::Page, ""},
      {"/setup.exe", WebKind::Error, ""},
      {"/setup.EXE", WebKind::File, "setup.EXE"},
      {"/page.PHP", WebKind::File, "page.PHP"},
      {"/news.php", WebKind::Php, "/news.php"},
      {"/news?id=3", WebKind::Php, "/news.php"},
      {"/news.php?id=3", WebKind::Php, "/news.php.php"},
  };
  expectClassified(cases);
}

// Every spelling of ".php" that decodes to it: each of its four characters
// plain or escaped, the dot's escape with either case of its hex digit (the
// letters' escapes have digits only: %50 would be "P"). Each names the
// script config.php, as the plain URL does, and so runs it: its text is
// never a static file.
TEST(ResolveGet, EscapedPhpExtensionNamesTheScript) {
  const std::vector<std::string> spellings[4] = {
      {".", "%2e", "%2E"}, {"p", "%70"}, {"h", "%68"}, {"p", "%70"}};
  std::vector<std::string> urls = {"/config"};
  for (const std::vector<std::string>& choices : spellings) {
    std::vector<std::string> longer;
    for (const std::string& url : urls) {
      for (const std::string& choice : choices) longer.push_back(url + choice);
    }
    urls = longer;
  }
  ASSERT_EQ(urls.size(), 24u);
  SiteSettings site;
  site.rootDocument = "index.html";
  for (const std::string& url : urls) {
    engine::HttpRequest request;
    WebRequest web;
    resolveGet(url, request, web, site);
    EXPECT_EQ(web.kind, WebKind::Php) << url;
    EXPECT_EQ(web.filePath, "/config.php") << url;
    EXPECT_NE(web.bodyText.find("$_SERVER['PHP_SELF']=\"/config.php\";"), std::string::npos) << url;
  }

  const ClassifyCase cases[] = {
      // As their decoded forms: "+" is a space, the test is anywhere in the
      // path, and a decoded "?" is a name's character, not a query.
      {"/my+page.%70hp", WebKind::Php, "/my page.php"},
      {"/a%20b%2Ephp", WebKind::Php, "/a b.php"},
      {"/config.%70hp.txt", WebKind::Php, "/config.php.txt"},
      {"/dir.%70hp/", WebKind::Php, "/dir.php/"},
      {"/sub/config%2ephp", WebKind::Php, "/sub/config.php"},
      {"/config.%70hp%3Fx=1", WebKind::Php, "/config.php?x=1"},
      {"/config.%70hp%00.txt", WebKind::Php, std::string("/config.php\0.txt", 16)},
      // The test stays case-sensitive, as for plain URLs (/page.PHP is a file).
      {"/config.%50HP", WebKind::File, "config.PHP"},
      {"/config%2EPhp", WebKind::File, "config.Php"},
      // Decoded once, as the file lookup does: "%2570" names a file with
      // "%70" in its name, not config.php.
      {"/config.%2570hp", WebKind::File, "config.%70hp"},
      // Plain URLs keep their answers.
      {"/config.php", WebKind::Php, "/config.php"},
      {"/a%20b.php", WebKind::Php, "/a%20b.php"},
      {"/config.php%00.txt", WebKind::Php, "/config.php%00.txt"},
      {"/config%2Ephp?x=1", WebKind::Php, "/config%2Ephp.php"},
  };
  expectClassified(cases);
}

// servePath + path opened only when it is a regular file inside the served
// folder once every link is followed; never blocking, never opening anything
// else.
class OpenServedFile : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = std::filesystem::temp_directory_path() /
            ("open_served_file_test_" + std::to_string(::getpid()));
    site_ = base_ / "www";
    std::filesystem::create_directories(site_ / "sub");
    std::filesystem::create_directories(base_ / "outside");
    write(site_ / "a.txt", "inside");
    write(site_ / "sub" / "b.txt", "below");
    write(base_ / "outside" / "secret.txt", "secret");
    write(base_ / "www-sibling.txt", "sibling");
    link("sub/b.txt", site_ / "rel.txt");
    link((site_ / "a.txt").string(), site_ / "abs.txt");
    link("sub", site_ / "subdir");
    link("../a.txt", site_ / "sub" / "up.txt");
    link((base_ / "outside" / "secret.txt").string(), site_ / "secret.txt");
    link("../outside/secret.txt", site_ / "relsecret.txt");
    link((base_ / "outside").string(), site_ / "outdir");
    link("../www-sibling.txt", site_ / "sibling.txt");
    link("/etc/passwd", site_ / "passwd.txt");
    link("/dev/zero", site_ / "zero.txt");
    link("/etc", site_ / "etc");
    link("missing.txt", site_ / "dangling.txt");
    link("loop.txt", site_ / "loop.txt");
    link(site_.string(), base_ / "through");
    ASSERT_EQ(::mkfifo((site_ / "fifo.txt").c_str(), 0644), 0);
    ASSERT_EQ(::mkfifo((site_ / "fifo.php").c_str(), 0644), 0);
    socket_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string socketPath = (site_ / "socket.txt").string();
    ASSERT_LT(socketPath.size(), sizeof address.sun_path);
    socketPath.copy(address.sun_path, socketPath.size());
    ASSERT_EQ(::bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  }
  void TearDown() override {
    if (socket_ >= 0) ::close(socket_);
    std::filesystem::remove_all(base_);
  }
  static void write(const std::filesystem::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
  }
  static void link(const std::string& to, const std::filesystem::path& at) {
    std::filesystem::create_symlink(to, at);
  }
  // The file's text, or "404" when it is not opened.
  static std::string served(const std::string& servePath, std::string_view path) {
    struct stat info {};
    const platform::UniqueFd file = openServedFile(servePath, path, info);
    if (!file.valid()) return "404";
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_EQ(::fcntl(file.get(), F_GETFL) & O_NONBLOCK, 0);
    std::string text(std::size_t(info.st_size), '\0');
    EXPECT_EQ(::pread(file.get(), text.data(), text.size(), 0), ssize_t(text.size()));
    return text;
  }

  std::filesystem::path base_;
  std::filesystem::path site_;
  int socket_ = -1;
};

TEST_F(OpenServedFile, OnlyRegularFilesInsideTheFolder) {
  const std::string servePath = site_.string() + "/";
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"a.txt", "inside"},
      {"sub/b.txt", "below"},
      {"/a.txt", "inside"},  // a PHP script path keeps its slash
      // Links that stay inside keep working, relative or absolute.
      {"rel.txt", "below"},
      {"abs.txt", "inside"},
      {"subdir/b.txt", "below"},
      {"sub/up.txt", "inside"},
      // Links that lead out: to a file, a folder, a neighbour whose name
      // only begins like the folder's.
      {"secret.txt", "404"},
      {"relsecret.txt", "404"},
      {"outdir/secret.txt", "404"},
      {"sibling.txt", "404"},
      {"passwd.txt", "404"},
      {"etc/passwd", "404"},
      {"etc/hostname", "404"},
      // Not regular files: a folder, a device, a FIFO, a socket.
      {"sub", "404"},
      {"", "404"},
      {"zero.txt", "404"},
      {"fifo.txt", "404"},
      {"/fifo.php", "404"},
      {"socket.txt", "404"},
      // Nothing there.
      {"missing.txt", "404"},
      {"dangling.txt", "404"},
      {"loop.txt", "404"},
      {"a.txt/", "404"},
      // The containment check of the path itself still holds.
      {"sub/../a.txt", "404"},
      {std::string_view("a.txt\0x", 7), "404"},
  };
  for (const auto& [path, text] : cases) {
    const std::int64_t start = platform::monotonicMs();
    EXPECT_EQ(served(servePath, path), text) << path;
    EXPECT_LT(platform::monotonicMs() - start, 1000) << path;  // nothing blocks
  }
  // Nobody holds the FIFOs open for reading: a writer finds no reader.
  for (const char* fifo : {"fifo.txt", "fifo.php"}) {
    EXPECT_EQ(::open((site_ / fifo).c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC), -1) << fifo;
    EXPECT_EQ(errno, ENXIO) << fifo;
  }
}

// A query after a path ending in ".php" runs that script when the script
// the query names (path + ".php") does not exist.
TEST_F(OpenServedFile, QueryAfterAScriptPath) {
  write(site_ / "form.php", "");
  write(site_ / "news.php", "");
  write(site_ / "both.php", "");
  write(site_ / "both.php.php", "");
  SiteSettings site;
  site.servePath = site_.string() + "/";
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"/news?id=3", "/news.php"},
      {"/form.php?x=1", "/form.php"},
      {"/form.php?", "/form.php"},
      {"/both.php?x=1", "/both.php.php"},        // the added ".php" comes first
      {"/nothere.php?x=1", "/nothere.php.php"},  // still a 404
      {"/fifo.php?x=1", "/fifo.php.php"},
  };
  for (const auto& [url, script] : cases) {
    engine::HttpRequest request;
    WebRequest web;
    resolveGet(url, request, web, site);
    EXPECT_EQ(web.kind, WebKind::Php) << url;
    EXPECT_EQ(web.filePath, script) << url;
  }
  engine::HttpRequest request;
  WebRequest web;
  resolveGet("/form.php?who=a%20b&n=3", request, web, site);
  EXPECT_NE(
      web.bodyText.find("$_GET['who'] = \"a b\";$_REQUEST['who'] = \"a b\";$_GET['n'] = \"3\";"),
      std::string::npos);
  EXPECT_NE(web.bodyText.find("$_SERVER['PHP_SELF']=\"/form.php\";"), std::string::npos);
}

TEST_F(OpenServedFile, TheFolderMayBeGivenThroughALinkOrRelatively) {
  // -sp through a link: compared with the folder's resolved form.
  const std::string through = (base_ / "through").string() + "/";
  EXPECT_EQ(served(through, "a.txt"), "inside");
  EXPECT_EQ(served(through, "abs.txt"), "inside");
  EXPECT_EQ(served(through, "secret.txt"), "404");
  // A relative folder, from the current one.
  const std::filesystem::path before = std::filesystem::current_path();
  std::filesystem::current_path(base_);
  EXPECT_EQ(served("www/", "rel.txt"), "below");
  EXPECT_EQ(served("www/", "passwd.txt"), "404");
  EXPECT_EQ(served("./www/", "sub/b.txt"), "below");
  std::filesystem::current_path(before);
  // A prefix without a last "/" stands for the folder holding it.
  EXPECT_EQ(servedFolder("/srv/www/"), "/srv/www/");
  EXPECT_EQ(servedFolder("/srv/www"), "/srv/");
  EXPECT_EQ(servedFolder("www"), ".");
  EXPECT_EQ(servedFolder("/"), "/");
  EXPECT_EQ(served((base_ / "www").string(), "-sibling.txt"), "sibling");
  // The whole file system as the folder: every regular file is inside.
  EXPECT_EQ(served("/", (site_ / "a.txt").string().substr(1)), "inside");
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
  WebOptions version = quietPort;
  version.versionAsked = true;
  WebOptions versionAsValue = defaults;
  versionAsValue.rootDocument = "--version";
  WebOptions access = defaults;
  access.allowText = "10.0.0.0/8";
  access.maxPerHostText = "";
  WebOptions accessAsValue = defaults;
  accessAsValue.phpHttpHost = "--allow";
  accessAsValue.maxPerHostText = "-q";
  const Case cases[] = {
      {{"ondrel"}, defaults},
      {{"ondrel", "-q", "-lp", "8080"}, quietPort},
      {{"ondrel", "-rd", "-q", "-x", "-li", "1.1.1.1", "-li", "10.0.0.2"}, taken},
      {{"ondrel", "-sp", "/srv/", "-pp", "/opt/php/", "-phh", "example", "-lp"}, paths},
      {{"ondrel", "-lp", "8080", "--version", "-q"}, version},
      {{"ondrel", "-rd", "--version"}, versionAsValue},  // a value, not the option
      {{"ondrel", "--allow", "x", "--allow", "10.0.0.0/8", "--max-connections-per-host", ""},
       access},
      {{"ondrel", "-phh", "--allow", "--max-connections-per-host", "-q", "--allow"}, accessAsValue},
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
    EXPECT_EQ(got.versionAsked, c.expected.versionAsked);
    EXPECT_EQ(got.allowText, c.expected.allowText);
    EXPECT_EQ(got.maxPerHostText, c.expected.maxPerHostText);
  }
}

// What --allow and --max-connections-per-host take; a value given that does
// not read refuses the start with its line, whatever the other one says.
TEST(WebCommandLine, AccessValuesReadOrRefuseTheStart) {
  const struct {
    std::optional<std::string> allow, most;
    const char* refusal;  // nullptr: read
    std::string allowed;
    std::uint32_t expectedMost;
  } cases[] = {
      {std::nullopt, std::nullopt, nullptr, "everyone", 64},
      {"192.168.1.0/24,10.0.0.5", "1", nullptr, "192.168.1.0/24,10.0.0.5/32", 1},
      {"10.1.2.3/8", "65535", nullptr, "10.0.0.0/8", 65535},
      {"", std::nullopt, kAllowRefusedText, "", 0},
      {"192.168.1.0/33", std::nullopt, kAllowRefusedText, "", 0},
      {"10.0.0.1,", std::nullopt, kAllowRefusedText, "", 0},
      {"example.org", "8", kAllowRefusedText, "", 0},
      {std::nullopt, "0", kMaxPerHostRefusedText, "", 0},
      {std::nullopt, "65536", kMaxPerHostRefusedText, "", 0},
      {std::nullopt, "-1", kMaxPerHostRefusedText, "", 0},
      {std::nullopt, "", kMaxPerHostRefusedText, "", 0},
      {"10.0.0.0/8", "many", kMaxPerHostRefusedText, "", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.allow.value_or("(none)") + " / " + c.most.value_or("(none)"));
    WebOptions options;
    options.allowText = c.allow;
    options.maxPerHostText = c.most;
    std::string refusal;
    const std::optional<WebAccess> access = readWebAccess(options, refusal);
    if (c.refusal != nullptr) {
      EXPECT_FALSE(access.has_value());
      EXPECT_EQ(refusal, c.refusal);
      continue;
    }
    ASSERT_TRUE(access.has_value()) << refusal;
    EXPECT_EQ(access->allow.text(), c.allowed);
    EXPECT_EQ(access->maxConnectionsPerHost, c.expectedMost);
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
    WebRequest web;
    parseRange(range, web);
    EXPECT_TRUE(web.rangeRequested) << range;
    for (std::uint64_t size : sizes) {
      EXPECT_FALSE(byteWindow(web, size).has_value()) << range << " of " << size;
    }
  }
}

}  // namespace
}  // namespace web
