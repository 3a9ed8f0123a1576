// The web server's content-type table: a static file's Content-Type, and
// whether its response may be compressed, follow from its extension alone.
// All tables are constant data; connection threads read them without locks.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string_view>

#include "engine/http_request.h"
#include "web/web_request.h"

namespace web {

struct MimeRow {
  std::string_view contentType;  // ends in "\r\n": completes the "Content-Type: " line
  std::string_view extension;    // lower case, without the dot; empty for the default row
};

// The common web types first, then the rest by extension, then the default
// row (application/octet-stream, empty extension).
std::span<const MimeRow> mimeTable();

inline constexpr std::size_t kMimeRowCount = 447;
inline constexpr std::size_t kDefaultMimeIndex = kMimeRowCount - 1;

// Only these extensions (and paths without any dot) keep the client's coding.
inline constexpr std::array<std::string_view, 6> compressibleExtensions = {"html", "htm", "txt",
                                                                           "js",   "php", "css"};

// Files with these extensions are never served.
inline constexpr std::array<std::string_view, 2> refusedExtensions = {"exe", "dll"};

// Chooses the row for a decoded relative path by the text after its last dot,
// compared case-sensitively, and sets `web.mimeIndex`. A path without a dot
// gets the default row and keeps the request's coding; otherwise the coding
// becomes identity unless the extension is compressible. False for a refused
// extension, with `mimeIndex` untouched.
bool lookupMimeType(std::string_view relativePath, engine::HttpRequest& request, WebRequest& web);

}  // namespace web
