// PHP pages: a request's form fields, cookies and a few server values become
// a short PHP prelude put in front of the script's text, and php-cgi runs the
// whole text from its standard input, one process per request. Its CGI
// header block and page are framed into the response here.
//
// Request data stays data: every name and value is escaped for the PHP
// string literal it stands in.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/http_engine.h"
#include "engine/http_request.h"
#include "platform/child_process.h"
#include "web/site_settings.h"
#include "web/web_request.h"

namespace web {

inline constexpr std::string_view kPhpMissingPage =
    "<html><head><body><h2>PHP support not found!</h2><p>Enter path to php-cgi.exe in "
    "settings.ini. You can download PHP <a href=\"https://www.php.net/downloads\">here</a></p>"
    "</body></head></html>";

// Appends the fields of a query string or request body: url-encoded
// ("a=1&b=2", empty values skipped) or multipart/form-data (a field's value
// without the line ends around it; a file part's value is its content
// exactly as sent). False for any other content type.
bool decodeForm(std::string_view text, std::string_view contentType,
                std::vector<FormField>& fields);

// `text` as the inside of a PHP double-quoted string, or of a single-quoted
// one: nothing in it can end the literal or be interpolated.
std::string phpDoubleQuoted(std::string_view text);
std::string phpSingleQuoted(std::string_view text);

// Appends one prelude block to `web.bodyText`: REQUEST_METHOD, the fields
// into $_GET or $_POST and $_REQUEST and, with `withServerVars`, the cookies
// (`web.cookie`), PHP_SELF (`web.filePath`) and HTTP_HOST. File parts go to
// `web.uploads` instead, for filesPrelude when the page runs.
void buildPhpPrelude(std::vector<FormField> fields, bool post, WebRequest& web, bool withServerVars,
                     std::string_view phpHttpHost);

// Where a file part's content was put for the page's run: PHP's error code
// (0, 4 no file chosen, 6 no temporary folder, 7 not written) and, for 0,
// the temporary file's path.
struct StoredUpload {
  std::string tmpName;
  int error = 0;
};

// The temporary files of one page run: a private folder made by mkdtemp
// under TMPDIR (or /tmp), mode 0700, holding each chosen file's content in a
// file of mode 0600 named by its number, never by the client. php-cgi runs
// with our rights and reads them. The destructor removes the folder and all
// in it, so the files last exactly as long as the owner does, however the
// run ends (finished, killed, not started, stopped, thrown); a worker still
// running when the server ends leaves its folder to removeUploadFolders.
//
// Their size needs no limit of its own: the whole request they come from is
// at most engine::kLargestRequest (10 240 000 bytes), and they are part of it.
class UploadFolder {
 public:
  UploadFolder() = default;
  ~UploadFolder();
  UploadFolder(const UploadFolder&) = delete;
  UploadFolder& operator=(const UploadFolder&) = delete;

  // Stores each file part with a chosen file; the result has one entry per
  // part, in order. The folder is made with the first file.
  std::vector<StoredUpload> store(const std::vector<FormField>& uploads);

  // The folder, "" until one was made.
  const std::string& path() const { return folder_; }

 private:
  StoredUpload storeOne(std::string_view content);

  std::string folder_;
  bool folderFailed_ = false;
  int count_ = 0;
};

// Removes every upload folder that still exists, and lets no more be made:
// at the server's end, after its workers had their time to finish.
void removeUploadFolders();

// The prelude block of a page's file parts: $_FILES as PHP gives it, the
// client's base name (after the last "/" or "\\") in name, the name as sent
// in full_path, its type, its size (0 on an error) and `stored[i]`'s tmp_name
// and error. Empty without file parts.
std::string filesPrelude(const std::vector<FormField>& uploads,
                         const std::vector<StoredUpload>& stored);

// The prelude of a GET's PHP page (kind and script path set by resolveUrl):
// the fields of its query, when it has one, into $_GET.
void buildGetPrelude(const std::optional<std::string>& query, WebRequest& web,
                     const SiteSettings& site);

// POST (without SOAPACTION): the URL is classified by resolveUrl, exactly as
// for a GET, so only what a GET would run as a PHP page runs, and anything
// else gets the GET's answer (a static file is sent, never run). A PHP page
// gets two blocks: the query's fields (when it has a query) and the body's,
// read by `web.contentType`, both into $_POST.
void resolvePost(std::string_view url, engine::HttpRequest& request, WebRequest& web,
                 const SiteSettings& site);

// The php.ini that php-cgi reads when no site is in the way: php-cgi itself
// tells, run once from the root folder (so PHPRC, php-cgi's own folder and
// its built-in folder count, as PHP orders them). Empty when it reads none,
// or when it could not be asked.
std::string systemPhpIni(const std::string& phpCgiPath, int timeoutMs);

// The arguments php-cgi runs with. php-cgi looks for php.ini (and
// php-cgi-fcgi.ini) in its working folder, the served folder, before the
// system's; -c names the file to read instead, and nothing is searched.
// user_ini.filename= turns off per-folder .user.ini files as well.
std::vector<std::string> phpCgiArguments(const SiteSettings& site);

// php-cgi's standard output for the script text, or the PHP-missing page
// when php-cgi was not found at start-up.
platform::ChildResult runPhpCgi(std::string_view script, const SiteSettings& site,
                                platform::Event* stop = nullptr);

// Answers a PHP page request: 200 with the script's output, 404 for a
// missing script, 504 when it ran too long. False when the connection must
// close. The prelude is moved out of `web.bodyText`; the file parts of
// `web.uploads` are in temporary files while php-cgi runs, and gone when
// this returns.
bool servePhp(engine::HttpConnection& connection, const engine::HttpRequest& request,
              WebRequest& web, const SiteSettings& site);

}  // namespace web
