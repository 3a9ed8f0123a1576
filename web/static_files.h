// The web server's GET side: classifying a URL (static file, PHP script,
// folder refusal, refused extension), the URL and Range decoders, and the
// file responder that writes a file's head and body on the connection.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "engine/http_engine.h"
#include "engine/http_request.h"
#include "engine/response_writer.h"
#include "platform/unique_fd.h"
#include "web/site_settings.h"
#include "web/web_request.h"

namespace web {

inline constexpr std::size_t kFileWindow = 524288;
inline constexpr std::string_view kNotFoundPage =
    "<html><head><title>404 Not Found</title></head><body><h1>Not Found</h1><p>The requested "
    "URL was not found on this server.</p><hr><p>Quintaflume Web Server</p></body></html>";
inline constexpr std::string_view kFolderRefusalPage =
    "<html><head><body><p>Directory listing is not permited.</p></body></head></html>";

// The 404 answer with its page, for files and PHP scripts alike.
engine::Response notFoundAnswer();

// "+" is a space, "%" and two hex digits a byte (any byte, 0 included);
// everything else, a lone "%" too, stays as it is.
std::string urlDecode(std::string_view text);

// Reads a Range value ("bytes=A-B", "bytes=A-", "bytes=-N") into the
// request's range fields. Anything else, numbers that do not convert, or a
// last byte before the first leaves the request without a range.
bool parseRange(std::string_view value, WebRequest& web);

// Whether a decoded relative path stays inside the served folder: no ".."
// segment (with either separator) and no NUL byte.
bool isContainedPath(std::string_view path);

// The folder that `servePath` stands for: the text up to and including its
// last "/" (all of it in the usual form, which ends in "/"), "." when it has
// none. Files are servePath + path, so this is the deepest folder they share.
std::string servedFolder(std::string_view servePath);

// Opens servePath + `path` (a static file's relative path or a PHP script
// path) for reading. Gives no file (the caller answers 404) when the path
// is not contained (above), does not exist, is not a regular file (a folder,
// FIFO, socket or device is never opened; the open cannot block), or lies
// outside the served folder once every symbolic link is followed (the
// folder itself compared in its resolved form, so a `-sp` through a link
// works). Where the opened file really is gets checked again after the open,
// so a link swapped in meanwhile cannot lead out. `info` gets its status.
platform::UniqueFd openServedFile(const std::string& servePath, std::string_view path,
                                  struct stat& info);

struct ByteWindow {
  std::uint64_t offset;
  std::uint64_t length;
};
// The bytes of a file of `size` bytes that the request's range selects (the
// whole file without a range); none when the range reaches past the end (416).
std::optional<ByteWindow> byteWindow(const WebRequest& web, std::uint64_t size);

// Classifies a URL, for every method that names a page by it (GET, HEAD
// and POST), so that a method cannot make a file run that a GET would not.
// Whether it is a PHP page is decided on the URL as sent and on its decoded
// form: an escaped spelling of ".php" ("%70", "%2e", either case of the hex
// digits) names the same script as the plain one and runs like it, with the
// decoded path as the script path, so a script's text is never sent as a
// file. A PHP page gets its kind and script path, and the text after its
// "?" is given back (none without one) for the caller's form fields; the
// prelude is left to the caller. Anything else is classified as it is
// answered: a static file (its type may take the request's coding back to
// identity, lookupMimeType), the folder refusal, or the 400.
std::optional<std::string> resolveUrl(std::string_view url, engine::HttpRequest& request,
                                      WebRequest& web, const SiteSettings& site);

// Classifies a GET or HEAD by resolveUrl; a PHP page gets the query's
// fields in $_GET.
void resolveGet(std::string_view url, engine::HttpRequest& request, WebRequest& web,
                const SiteSettings& site);

// Answers a static file request on the connection: 200 or 206 with the file,
// 404 or 416. False when the connection must close.
bool serveFile(engine::HttpConnection& connection, const engine::HttpRequest& request,
               const WebRequest& web, const SiteSettings& site);

}  // namespace web
