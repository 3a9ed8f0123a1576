// The web server's GET side: classifying a URL (static file, PHP script,
// folder refusal, refused extension), the URL and Range decoders, and the
// file responder that writes a file's head and body on the connection.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "engine/http_engine.h"
#include "engine/http_request.h"
#include "web/site_settings.h"

namespace web {

inline constexpr std::size_t kFileWindow = 524288;
inline constexpr std::string_view kNotFoundPage =
    "<html><head><title>404 Not Found</title></head><body><h1>Not Found</h1><p>The requested "
    "URL was not found on this server.</p><hr><p>Quintaflume Web Server</p></body></html>";
inline constexpr std::string_view kFolderRefusalPage =
    "<html><head><body><p>Directory listing is not permited.</p></body></head></html>";

// "+" is a space, "%" and two hex digits a byte (any byte, 0 included);
// everything else, a lone "%" too, stays as it is.
std::string urlDecode(std::string_view text);

// Reads a Range value ("bytes=A-B", "bytes=A-", "bytes=-N") into the
// request's range fields. Anything else, numbers that do not convert, or a
// last byte before the first leaves the request without a range.
bool parseRange(std::string_view value, engine::HttpRequest& request);

// Whether a decoded relative path stays inside the served folder: no ".."
// segment (with either separator) and no NUL byte.
bool isContainedPath(std::string_view path);

struct ByteWindow {
  std::uint64_t offset;
  std::uint64_t length;
};
// The bytes of a file of `size` bytes that the request's range selects (the
// whole file without a range); none when the range reaches past the end (416).
std::optional<ByteWindow> byteWindow(const engine::HttpRequest& request, std::uint64_t size);

void resolveGet(std::string_view url, engine::HttpRequest& request, const SiteSettings& site);

// Answers a request of kind 1 on the connection: 200 or 206 with the file,
// 404 or 416. False when the connection must close.
bool serveFile(engine::HttpConnection& connection, engine::HttpRequest& request,
               const SiteSettings& site);

}  // namespace web
