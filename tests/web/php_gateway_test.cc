#include "web/php_gateway.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "engine/request_parser.h"
#include "platform/clock.h"
#include "platform/socket.h"
#include "web/static_files.h"
#include "web/web_entry.h"

namespace web {
namespace {

using Fields = std::vector<std::pair<std::string, std::string>>;

Fields decoded(std::string_view text, std::string_view type, bool expectKnown = true) {
  std::vector<FormField> fields;
  EXPECT_EQ(decodeForm(text, type, fields), expectKnown) << type;
  Fields out;
  for (const FormField& f : fields) out.emplace_back(f.name, f.value);
  return out;
}

TEST(DecodeForm, UrlEncoded) {
  const std::string_view type = " Application/X-WWW-Form-Urlencoded; charset=UTF-8";
  const std::pair<std::string_view, Fields> cases[] = {
      {"id=3&x=a%20b", {{"id", "3"}, {"x", "a b"}}},
      {"a=&b=2", {{"b", "2"}}},  // empty value skipped
      {"&&flag&=v&c=1=2", {{"", "v"}, {"c", "1=2"}}},
      {"n%27=%22%24x%00", {{"n'", std::string("\"$x\0", 4)}}},
      {"k=1&k=2", {{"k", "1"}, {"k", "2"}}},
      {"", {}},
  };
  for (const auto& [text, fields] : cases) EXPECT_EQ(decoded(text, type), fields) << text;
}

TEST(DecodeForm, Multipart) {
  const std::string type = "multipart/form-data; boundary=XyZ";
  const std::string body =
      "--XyZ\r\nContent-Disposition: form-data; name=\"title\"\r\n\r\nHello%20there\r\n"
      "--XyZ\r\nContent-Disposition: form-data; name=\"up\"; filename=\"a.txt\"\r\n"
      "Content-Type: text/plain\r\n\r\n\r\nline 1\r\nline 2\r\n\r\n"
      "--XyZ\r\nContent-Type: text/plain\r\n\r\nno disposition\r\n"
      "--XyZ\r\nContent-Disposition: form-data; name=\"headonly\"\r\n"
      "--XyZ--\r\n";
  // A field loses the line ends around its value; a file keeps its content
  // exactly, its own line ends too.
  EXPECT_EQ(
      decoded(body, type),
      (Fields{{"title", "Hello%20there"}, {"up", "\r\nline 1\r\nline 2\r\n"}, {"headonly", ""}}));
  EXPECT_EQ(decoded(body, "multipart/form-data"), Fields{});  // no boundary: nothing
  EXPECT_EQ(decoded("a=1", "text/plain", false), Fields{});
}

TEST(PhpQuoting, NothingEndsTheLiteral) {
  EXPECT_EQ(phpDoubleQuoted(R"(a"b\c$d{$e}'?>)"), R"(a\"b\\c\$d{\$e}'?>)");
  EXPECT_EQ(phpSingleQuoted(R"(a'b\c"$d)"), R"(a\'b\\c"$d)");
}

// What php-cgi says it reads, run from the root folder; only a full path
// counts. Pages then run with -c naming it, or /dev/null for none.
TEST(SystemPhpIni, TakesTheFullPathPhpCgiReports) {
  const std::filesystem::path folder = std::filesystem::temp_directory_path() /
                                       ("system_php_ini_test_" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder);
  const auto fake = [&](const std::string& name, const std::string& output) {
    const std::string path = (folder / name).string();
    std::ofstream(path) << "#!/bin/sh\ncat >/dev/null\nprintf '%s' '" << output << "'\n";
    ::chmod(path.c_str(), 0755);
    return path;
  };
  EXPECT_EQ(systemPhpIni(fake("full", "noise<php.ini>/etc/php/cgi/php.ini</php.ini>noise"), 10000),
            "/etc/php/cgi/php.ini");
  EXPECT_EQ(systemPhpIni(fake("none", "<php.ini></php.ini>"), 10000), "");
  EXPECT_EQ(systemPhpIni(fake("relative", "<php.ini>php.ini</php.ini>"), 10000), "");
  EXPECT_EQ(systemPhpIni(fake("unended", "<php.ini>/etc/php.ini"), 10000), "");
  EXPECT_EQ(systemPhpIni((folder / "missing").string(), 10000), "");
  std::filesystem::remove_all(folder);

  SiteSettings site;
  EXPECT_EQ(phpCgiArguments(site),
            (std::vector<std::string>{"-c", "/dev/null", "-d", "user_ini.filename="}));
  site.phpIni = "/etc/php/cgi/php.ini";
  EXPECT_EQ(phpCgiArguments(site),
            (std::vector<std::string>{"-c", "/etc/php/cgi/php.ini", "-d", "user_ini.filename="}));
}

// Parts with a chosen file are stored, one file each, in one folder; a part
// without one is PHP's "no file" (4), and no usable TMPDIR is its "no
// temporary folder" (6). The folder goes with its owner, whatever a script
// put in it, without following a link out.
TEST(UploadFolder, StoresChosenFilesAndRemovesAllItHolds) {
  const std::filesystem::path root =
      std::filesystem::temp_directory_path() / ("upload_folder_test_" + std::to_string(::getpid()));
  std::filesystem::create_directories(root / "outside");
  std::ofstream(root / "outside" / "keep") << "keep";
  const std::vector<FormField> parts = {{"a", std::string("x\0y", 3), true, "a.txt", ""},
                                        {"b", "", true, "", ""},
                                        {"c", "", true, "c", ""}};
  ::setenv("TMPDIR", (root / "missing").c_str(), 1);
  {
    UploadFolder folder;
    const std::vector<StoredUpload> stored = folder.store(parts);
    ASSERT_EQ(stored.size(), 3u);
    EXPECT_EQ(stored[0].error, 6);
    EXPECT_EQ(stored[1].error, 4);
    EXPECT_EQ(stored[2].error, 6);
    EXPECT_EQ(folder.path(), "");
  }
  ::setenv("TMPDIR", root.c_str(), 1);
  std::string made;
  {
    UploadFolder folder;
    const std::vector<StoredUpload> stored = folder.store(parts);
    made = folder.path();
    ::unsetenv("TMPDIR");
    ASSERT_EQ(stored.size(), 3u);
    EXPECT_EQ(made.rfind((root / "ondrel-").string(), 0), 0u) << made;
    EXPECT_EQ(std::filesystem::status(made).permissions(), std::filesystem::perms::owner_all);
    EXPECT_EQ(stored[0].error, 0);
    EXPECT_EQ(stored[0].tmpName, made + "/1");
    EXPECT_EQ(std::filesystem::status(stored[0].tmpName).permissions(),
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    std::ifstream file(stored[0].tmpName, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(file), {}), parts[0].value);
    EXPECT_EQ(stored[1].tmpName, "");
    EXPECT_EQ(stored[1].error, 4);
    EXPECT_EQ(stored[2].tmpName, made + "/2");
    std::filesystem::create_directories(made + "/sub/deeper");
    std::filesystem::create_directory_symlink(root / "outside", made + "/sub/out");
  }
  EXPECT_FALSE(std::filesystem::exists(made));
  EXPECT_TRUE(std::filesystem::exists(root / "outside" / "keep"));
  std::filesystem::remove_all(root);
}

// Parses a raw request and classifies it, as the web server's handler does.
WebRequest classified(const std::string& raw, const SiteSettings& site) {
  engine::HttpRequest request;
  engine::parseRequest(raw, request, webEngineSettings(0, 0).keepAliveByDefault);
  return classifyWebRequest(request, site);
}

// A request with its body and the Content-Length for it.
std::string withBody(const std::string& head, const std::string& body) {
  return head + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

TEST(PhpPrelude, Layouts) {
  SiteSettings site;
  site.phpHttpHost = "192.168.1.5";
  struct Case {
    std::string request;
    WebKind kind;
    std::string filePath;
    std::string prelude;  // the classified prelude, then the file parts' block
    std::vector<StoredUpload> stored = {};
  };
  const Case cases[] = {
      {"GET /info.php HTTP/1.1\r\n\r\n", WebKind::Php, "/info.php",
       "<?PHP $_SERVER['REQUEST_METHOD']=\"GET\";$_SERVER['PHP_SELF']=\"/info.php\";"
       "$_SERVER['HTTP_HOST']=\"192.168.1.5\";\r\n ?>"},
      {"GET /news?id=3 HTTP/1.1\r\nCookie: a=1; b= x%20y ;c=;d\r\n\r\n", WebKind::Php, "/news.php",
       "<?PHP $_SERVER['REQUEST_METHOD']=\"GET\";$_GET['id'] = \"3\";$_REQUEST['id'] = \"3\";"
       "\r\n$_COOKIE['a'] = \"1\";$_COOKIE['b'] = \" x y\";"
       "$_SERVER['PHP_SELF']=\"/news.php\";$_SERVER['HTTP_HOST']=\"192.168.1.5\";\r\n ?>"},
      {"POST /form?step=2 HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
       "Content-Length: 8\r\n\r\nname=Ann",
       WebKind::Php, "/form.php",
       "<?PHP $_SERVER['REQUEST_METHOD']=\"POST\";$_POST['step'] = \"2\";$_REQUEST['step'] = "
       "\"2\";$_SERVER['PHP_SELF']=\"/form.php\";$_SERVER['HTTP_HOST']=\"192.168.1.5\";\r\n ?>"
       "<?PHP $_SERVER['REQUEST_METHOD']=\"POST\";$_POST['name'] = \"Ann\";"
       "$_REQUEST['name'] = \"Ann\";\r\n ?>"},
      // No query block: the body block carries the server values.
      {"POST /form.php HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
       "Cookie: s=1\r\nContent-Length: 3\r\n\r\nn=1",
       WebKind::Php, "/form.php",
       "<?PHP $_SERVER['REQUEST_METHOD']=\"POST\";$_POST['n'] = \"1\";$_REQUEST['n'] = \"1\";"
       "\r\n$_COOKIE['s'] = \"1\";$_SERVER['PHP_SELF']=\"/form.php\";"
       "$_SERVER['HTTP_HOST']=\"192.168.1.5\";\r\n ?>"},
      // A query names path + ".php" for a POST as for a GET: page.html is
      // never run.
      {"POST /page.html?x=1 HTTP/1.1\r\n\r\n", WebKind::Php, "/page.html.php",
       "<?PHP $_SERVER['REQUEST_METHOD']=\"POST\";$_POST['x'] = \"1\";$_REQUEST['x'] = \"1\";"
       "$_SERVER['PHP_SELF']=\"/page.html.php\";$_SERVER['HTTP_HOST']=\"192.168.1.5\";\r\n ?>"
       "<?PHP $_SERVER['REQUEST_METHOD']=\"POST\";\r\n ?>"},
      {"POST /page.html HTTP/1.1\r\n\r\n", WebKind::File, "page.html", ""},
      {"POST /setup.exe HTTP/1.1\r\n\r\n", WebKind::Error, "", ""},
      // File parts are in $_FILES only, in a block of their own made when
      // the page runs: the base name (after the last "/" or "\\") is the
      // name, the name as sent the full path, the stored file's path (escaped
      // like every value) tmp_name; an empty file name is PHP's "no file"
      // (4), and a part not stored has no size.
      {withBody("POST /up.php HTTP/1.1\r\nContent-Type: multipart/form-data; boundary=B\r\n",
                "--B\r\nContent-Disposition: form-data; name=\"f\"; "
                "filename=\"../../../etc/cron.d/x\"\r\ncontent-type: text/plain\r\n\r\n"
                "hi!\r\n--B\r\nContent-Disposition: form-data; name=\"t\"\r\n\r\nv\r\n--B\r\n"
                "Content-Disposition: form-data; name=\"g\"; filename=\"\"\r\n\r\n\r\n--B\r\n"
                "Content-Disposition: form-data; name=\"h\"; filename=\"C:\\x/y\\$z.txt\"\r\n\r\n"
                "data\r\n--B--\r\n"),
       WebKind::Php,
       "/up.php",
       "<?PHP $_SERVER['REQUEST_METHOD']=\"POST\";$_POST['t'] = \"v\";$_REQUEST['t'] = \"v\";"
       "$_SERVER['PHP_SELF']=\"/up.php\";$_SERVER['HTTP_HOST']=\"192.168.1.5\";\r\n ?>"
       "<?PHP $_FILES['f'] = ['name' => \"x\", 'full_path' => \"../../../etc/cron.d/x\", "
       "'type' => \"text/plain\", 'size' => 3, 'tmp_name' => \"/tmp/a\\\"\\$b/1\", 'error' => 0];"
       "$_FILES['g'] = ['name' => \"\", 'full_path' => \"\", 'type' => \"\", 'size' => 0, "
       "'tmp_name' => \"\", 'error' => 4];"
       "$_FILES['h'] = ['name' => \"\\$z.txt\", 'full_path' => \"C:\\\\x/y\\\\\\$z.txt\", "
       "'type' => \"\", 'size' => 0, 'tmp_name' => \"\", 'error' => 7];\r\n ?>",
       {{"/tmp/a\"$b/1", 0}, {"", 4}, {"", 7}}},
      {"GET /a\"$b.php HTTP/1.1\r\n\r\n", WebKind::Php, "/a\"$b.php",
       "<?PHP $_SERVER['REQUEST_METHOD']=\"GET\";$_SERVER['PHP_SELF']=\"/a\\\"\\$b.php\";"
       "$_SERVER['HTTP_HOST']=\"192.168.1.5\";\r\n ?>"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.request);
    const WebRequest web = classified(c.request, site);
    EXPECT_EQ(web.kind, c.kind);
    EXPECT_EQ(web.filePath, c.filePath);
    EXPECT_EQ(web.bodyText + filesPrelude(web.uploads, c.stored), c.prelude);
  }
}

// The server's own web engine on loopback with a real php-cgi.
class PhpServer : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::access("/usr/bin/php-cgi", X_OK) != 0) GTEST_SKIP() << "php-cgi is not installed";
    folder_ =
        std::filesystem::temp_directory_path() / ("php_gateway_test_" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder_ / "sub");
    // Uploads are stored under TMPDIR: a private one, its name made of what
    // a PHP literal must escape.
    temporary_ = folder_.string() + "_tmp \"$x'\\";
    std::filesystem::create_directories(temporary_);
    ::setenv("TMPDIR", temporary_.c_str(), 1);
    write("slow.php", "<?php sleep(20); echo 'late';");
    write("hello.php", "<?php echo 'hello ', $_GET['n'];");
    WebOptions options;
    options.servePath = folder_.string() + "/";
    options.quiet = true;
    engine_ = std::make_unique<engine::HttpEngine>(webServerSettings(options, 0, 1000));
    engine_->startListening();
    ASSERT_FALSE(engine_->listeningPorts().empty());
  }
  void TearDown() override {
    if (engine_) engine_->shutdownEvent().set();
    engine_.reset();
    ::unsetenv("TMPDIR");
    // However the test's pages ended, they left no temporary file behind.
    EXPECT_TRUE(std::filesystem::is_empty(temporary_));
    std::filesystem::remove_all(temporary_);
    std::filesystem::remove_all(folder_);
    std::filesystem::remove_all(outside());
  }
  // A folder beside the served one.
  std::filesystem::path outside() const { return folder_.string() + "_outside"; }
  void write(const std::string& name, const std::string& text) {
    std::ofstream(folder_ / name, std::ios::binary) << text;
  }
  // One request on a fresh connection; the bytes until the server closes.
  std::string exchange(const std::string& request) {
    int error;
    platform::Socket socket = platform::Socket::tcp(error);
    EXPECT_EQ(socket.connect(platform::parseIpv4("127.0.0.1"), engine_->listeningPorts()[0]), 0);
    ::send(socket.fd(), request.data(), request.size(), MSG_NOSIGNAL);
    std::string reply;
    const std::int64_t end = platform::monotonicMs() + 10000;
    while (platform::monotonicMs() < end) {
      pollfd p{socket.fd(), POLLIN, 0};
      if (::poll(&p, 1, 500) < 0) break;
      char chunk[4096];
      const ssize_t n = ::recv(socket.fd(), chunk, sizeof chunk, MSG_DONTWAIT);
      if (n == 0 || (n < 0 && errno != EAGAIN)) break;
      if (n > 0) reply.append(chunk, std::size_t(n));
    }
    return reply;
  }

  static std::string body(const std::string& reply) {
    const std::size_t blank = reply.find("\r\n\r\n");
    return blank == std::string::npos ? reply : reply.substr(blank + 4);
  }

  std::filesystem::path folder_;
  std::filesystem::path temporary_;
  std::unique_ptr<engine::HttpEngine> engine_;
};

// A multipart POST of one file part `f` with `content` and a field.
std::string upload(std::string_view url, std::string_view content) {
  return withBody(
      std::string("POST ") + std::string(url) +
          " HTTP/1.1\r\nContent-Type: multipart/form-data; boundary=B\r\n",
      "--B\r\nContent-Disposition: form-data; name=\"f\"; filename=\"../up.bin\"\r\n"
      "Content-Type: application/octet-stream\r\n\r\n" +
          std::string(content) +
          "\r\n--B\r\nContent-Disposition: form-data; name=\"t\"\r\n\r\nv\r\n--B--\r\n");
}

// An upload's content is in the file named by tmp_name while the page runs
// (its own private folder, 0700, and file, 0600, named by neither the client
// nor the field), and both are gone when the page has ended: normally, by
// exit, killed over the limit (504), or by the server stopping.
TEST_F(PhpServer, UploadsAreTemporaryFilesForTheRunOnly) {
  write("read.php",
        "<?php $f = $_FILES['f']; $t = $f['tmp_name']; echo $f['error'], '|', $f['size'], '|', "
        "$f['name'], '|', basename($t), '|', decoct(fileperms($t) & 0777), '|', "
        "decoct(fileperms(dirname($t)) & 0777), '|', dirname($t, 2) === getenv('TMPDIR') ? 'in' : "
        "'out', '|', $_POST['t'], '|', isset($_POST['f']) ? 'in _POST' : '', '|', "
        "file_get_contents($t);");
  const std::string content = std::string(1, '\0') + "\"'$x<?php echo 1; ?>\r\nend\r\n";
  EXPECT_EQ(body(exchange(upload("/read.php", content))),
            "0|" + std::to_string(content.size()) + "|up.bin|1|600|700|in|v||" + content);
  write("exit.php",
        "<?php copy($_FILES['f']['tmp_name'], $_FILES['f']['tmp_name'] . 'x'); "
        "mkdir(dirname($_FILES['f']['tmp_name']) . '/d'); exit('bye');");
  EXPECT_EQ(body(exchange(upload("/exit.php", "data"))), "bye");
  EXPECT_TRUE(std::filesystem::is_empty(temporary_));
  EXPECT_EQ(exchange(upload("/slow.php", "data")),
            "HTTP/1.1 504 Gateway Timeout\r\nContent-Length: 0\r\nConnection: Close\r\n\r\n");
  EXPECT_TRUE(std::filesystem::is_empty(temporary_));
  // No script, no file written.
  EXPECT_EQ(exchange(upload("/none.php", "data")).substr(0, 24), "HTTP/1.1 404 Not Found\r\n");
  EXPECT_TRUE(std::filesystem::is_empty(temporary_));

  // A page still running when the server stops (its limit far off): the
  // stored file is there until then, and gone once the server has stopped.
  engine_->shutdownEvent().set();
  WebOptions options;
  options.servePath = folder_.string() + "/";
  options.quiet = true;
  engine_ = std::make_unique<engine::HttpEngine>(webServerSettings(options, 0, 30000));
  engine_->startListening();
  ASSERT_FALSE(engine_->listeningPorts().empty());
  int error;
  platform::Socket socket = platform::Socket::tcp(error);
  ASSERT_EQ(socket.connect(platform::parseIpv4("127.0.0.1"), engine_->listeningPorts()[0]), 0);
  const std::string request = upload("/slow.php", "data");
  ::send(socket.fd(), request.data(), request.size(), MSG_NOSIGNAL);
  for (int i = 0; i < 100 && std::filesystem::is_empty(temporary_); ++i) ::usleep(20000);
  EXPECT_FALSE(std::filesystem::is_empty(temporary_));
  engine_->shutdownEvent().set();
  engine_.reset();
  // The connection's worker ends on its own: php-cgi is killed, then the
  // folder removed.
  for (int i = 0; i < 250 && !std::filesystem::is_empty(temporary_); ++i) ::usleep(20000);
  EXPECT_TRUE(std::filesystem::is_empty(temporary_));
}

TEST_F(PhpServer, ScriptOverTheLimitGets504AndLeavesNoChild) {
  EXPECT_EQ(exchange("GET /hello?n=1 HTTP/1.1\r\n\r\n"),
            "HTTP/1.1 200 OK\r\nContent-type: text/html; charset=UTF-8\r\nContent-Length: 7\r\n"
            "Connection: Close\r\n\r\nhello 1");
  EXPECT_EQ(exchange("GET /slow.php HTTP/1.1\r\n\r\n"),
            "HTTP/1.1 504 Gateway Timeout\r\nContent-Length: 0\r\nConnection: Close\r\n\r\n");
  // Every php-cgi was reaped: this process has no child, running or zombie.
  int status;
  EXPECT_EQ(::waitpid(-1, &status, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

// The script's text is never sent for an escaped spelling of ".php": each
// runs the script and answers exactly as the plain URL does.
TEST_F(PhpServer, EscapedExtensionRunsTheScriptNeverSendsIt) {
  write("config.php", "<?php echo 'ran'; // password");
  const std::string plain = exchange("GET /config.php HTTP/1.1\r\n\r\n");
  ASSERT_EQ(body(plain), "ran");
  for (const char* url : {"/config.%70hp", "/config%2ephp", "/config.ph%70", "/config%2E%70%68%70",
                          "/config%2e%50hp"}) {
    const std::string reply = exchange(std::string("GET ") + url + " HTTP/1.1\r\n\r\n");
    EXPECT_EQ(reply.find("password"), std::string::npos) << url;
    if (std::string_view(url).find("%50") == std::string_view::npos) {
      EXPECT_EQ(reply, plain) << url;
    } else {
      // config.Php, a name of its own (case-sensitive, as /config.Php): none here.
      EXPECT_EQ(reply.substr(0, 24), "HTTP/1.1 404 Not Found\r\n") << url;
    }
  }
  const std::string post = "POST /config.php HTTP/1.1\r\nContent-Length: 0\r\n\r\n";
  EXPECT_EQ(exchange("POST /config.%70hp HTTP/1.1\r\nContent-Length: 0\r\n\r\n"), exchange(post));
}

// A POST runs only what a GET of its URL would run, named by the same rules;
// any other URL gets exactly the GET's answer, so a file the site lets users
// write is never run by posting to it.
TEST_F(PhpServer, PostRunsOnlyWhatAGetRuns) {
  const std::string code = "<?php echo 'EXEC:', 6 * 7; ?>";
  write("notes.txt", code);
  write("tool.exe", code);
  write("post.php", "<?php echo $_SERVER['REQUEST_METHOD'], ' ', $_POST['x'] ?? '-', $_POST['y'];");
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"/notes.txt", "200 OK"},
      {"/notes.txt?x=1", "404 Not Found"},  // names notes.txt.php: none here
      {"/notes.txt?", "404 Not Found"},
      {"/notes%2etxt?x=1", "404 Not Found"},
      {"/post%2ephp?x=1", "404 Not Found"},  // names post%2ephp.php, undecoded
      {"/tool.exe", "400 Bad Request"},
      {"/tool.exe?x", "404 Not Found"},
      {"/notes.txt%00.php", "404 Not Found"},
      {"/notes.txt%00.php?x=1", "404 Not Found"},
      {"/none.php", "404 Not Found"},
      {"/sub/", "200 OK"},
  };
  for (const auto& [url, status] : cases) {
    const std::string get = exchange("GET " + std::string(url) + " HTTP/1.1\r\n\r\n");
    const std::string post =
        exchange("POST " + std::string(url) + " HTTP/1.1\r\nContent-Length: 3\r\n\r\ny=2");
    EXPECT_EQ(post.substr(0, 9 + status.size()), "HTTP/1.1 " + std::string(status)) << url;
    EXPECT_EQ(post, get) << url;
    EXPECT_EQ(post.find("EXEC:42"), std::string::npos) << url;
  }
  EXPECT_EQ(body(exchange("POST /notes.txt HTTP/1.1\r\nContent-Length: 0\r\n\r\n")), code);
  // Scripts still run, the query's fields and the body's in $_POST.
  const std::pair<std::string_view, std::string_view> scripts[] = {
      {"/post.php?x=1", "POST 12"},
      {"/post?x=1", "POST 12"},
      {"/post%2ephp", "POST -2"},
  };
  for (const auto& [url, expected] : scripts) {
    const std::string post =
        exchange("POST " + std::string(url) +
                 " HTTP/1.1\r\nContent-Type: "
                 "application/x-www-form-urlencoded\r\nContent-Length: 3\r\n\r\ny=2");
    EXPECT_EQ(body(post), expected) << url;
  }
}

// php-cgi runs in the served folder and would read a php.ini (or
// php-cgi-fcgi.ini) there before the system's; per-folder .user.ini files
// could change settings too. None of them has any effect: the page sees what
// php-cgi run from an empty folder sees.
TEST_F(PhpServer, ConfigurationFilesInTheSiteHaveNoEffect) {
  const std::string page =
      "<?php echo php_ini_loaded_file(), '|', ini_get('memory_limit'), '|', "
      "ini_get('auto_prepend_file'), '|', ini_get('precision'), '|', "
      "ini_get('disable_functions'), '|', ini_get('open_basedir');";
  write("ini.php", page);
  std::filesystem::create_directories(outside());
  const platform::ChildResult system =
      platform::runFilter("/usr/bin/php-cgi", {"-q"}, outside().string(), page, 10000);
  ASSERT_EQ(system.outcome, platform::ChildOutcome::Finished);
  ASSERT_NE(system.output.find('|'), std::string::npos) << system.output;
  EXPECT_EQ(body(exchange("GET /ini.php HTTP/1.1\r\n\r\n")), system.output);

  write("prepend.php", "<?php echo 'PREPENDED|';");
  const std::string hostile =
      "memory_limit=7M\nprecision=3\ndisable_functions=\nopen_basedir=\n"
      "auto_prepend_file=" +
      (folder_ / "prepend.php").string() + "\n";
  write(".user.ini", "memory_limit=9M\nprecision=5\n");
  write("php.ini", hostile);
  EXPECT_EQ(body(exchange("GET /ini.php HTTP/1.1\r\n\r\n")), system.output);
  write("php-cgi-fcgi.ini", hostile);
  EXPECT_EQ(body(exchange("GET /ini.php HTTP/1.1\r\n\r\n")), system.output);
  // Relative includes still resolve against the served folder.
  write("sub/inc.php", "<?php include 'prepend.php';");
  EXPECT_EQ(body(exchange("GET /sub/inc.php HTTP/1.1\r\n\r\n")), "PREPENDED|");
}

// Links that lead out of the served folder, and files that are not regular
// (a FIFO, a folder), answer 404 at once, for static files and scripts alike;
// php-cgi is never started on them, no worker is left blocked, and the next
// request is answered.
TEST_F(PhpServer, LinksOutAndFilesThatAreNotRegularAnswer404) {
  std::filesystem::create_directories(outside());
  std::ofstream(outside() / "secret.txt") << "secret";
  std::ofstream(outside() / "secret.php") << "<?php echo 'secret';";
  std::filesystem::create_symlink(outside() / "secret.txt", folder_ / "secret.txt");
  std::filesystem::create_symlink(outside() / "secret.php", folder_ / "secret.php");
  std::filesystem::create_symlink(outside(), folder_ / "out");
  std::filesystem::create_symlink("/etc/passwd", folder_ / "passwd.txt");
  std::filesystem::create_symlink("hello.php", folder_ / "inner.php");
  std::filesystem::create_directories(folder_ / "dir.php");
  const std::string fifos[] = {(folder_ / "f.txt").string(), (folder_ / "f.php").string()};
  for (const std::string& fifo : fifos) ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);

  for (const char* url :
       {"/secret.txt", "/passwd.txt", "/out/secret.txt", "/secret.php", "/secret?x=1",
        "/out/secret.php", "/f.txt", "/f.php", "/f?x=1", "/dir.php", "/dir?x=1"}) {
    const std::int64_t start = platform::monotonicMs();
    const std::string reply = exchange(std::string("GET ") + url + " HTTP/1.1\r\n\r\n");
    EXPECT_EQ(reply.substr(0, 24), "HTTP/1.1 404 Not Found\r\n") << url;
    EXPECT_EQ(reply.find("secret"), std::string::npos) << url;
    EXPECT_LT(platform::monotonicMs() - start, 3000) << url;
    // Nobody holds a FIFO open for reading: a writer finds no reader (and,
    // if one did, lets it go).
    for (const std::string& fifo : fifos) {
      const int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
      EXPECT_EQ(writer, -1) << url << " left " << fifo << " open";
      if (writer >= 0) ::close(writer);
    }
  }
  // A link that stays inside still works, and the server still answers.
  EXPECT_EQ(body(exchange("GET /inner?n=2 HTTP/1.1\r\n\r\n")), "hello 2");
  int status;
  EXPECT_EQ(::waitpid(-1, &status, WNOHANG), -1);
}

}  // namespace
}  // namespace web
