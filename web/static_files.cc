#include "web/static_files.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <optional>

#include "common/parse_number.h"
#include "common/text.h"
#include "platform/unique_fd.h"
#include "web/mime_table.h"
#include "web/php_gateway.h"

namespace web {
namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string_view trimAll(std::string_view text, char c) {
  while (!text.empty() && text.front() == c) text.remove_prefix(1);
  while (!text.empty() && text.back() == c) text.remove_suffix(1);
  return text;
}

std::string_view trimBlanks(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\r' || c == '\n'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

// A 404 with its page, or a 416 without a body.
engine::Response statusOnly(bool notFound) {
  engine::Response response;
  response.status = notFound ? "404 Not Found" : "416 Requested range not satisfiable";
  if (notFound) response.body = kNotFoundPage;
  return response;
}

std::string lastModifiedText(std::time_t modified) {
  std::tm local{};
  char text[100] = {};
  if (::localtime_r(&modified, &local) == nullptr) return {};
  std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S %Z", &local);
  return text;
}

bool readWhole(int file, std::uint64_t offset, std::string& out, std::size_t length) {
  out.resize(length);
  std::size_t got = 0;
  while (got < length) {
    const ssize_t n = ::pread(file, out.data() + got, length - got, off_t(offset + got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    got += std::size_t(n);
  }
  return true;
}

// The path with every symbolic link followed ("" when it does not resolve).
std::string resolvedPath(const std::string& path) {
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return {};
  std::string out(resolved);
  std::free(resolved);
  return out;
}

// Whether a resolved path lies below a resolved folder.
bool liesIn(std::string_view path, std::string_view folder) {
  if (folder == "/") return path.size() > 1 && path.front() == '/';
  return path.size() > folder.size() + 1 && path.substr(0, folder.size()) == folder &&
         path[folder.size()] == '/';
}

// Where an open file is now, from /proc ("" when that cannot be read).
std::string openedPath(int fd) {
  char where[PATH_MAX + 1];
  const std::string link = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t n = ::readlink(link.c_str(), where, sizeof where);
  if (n <= 0 || std::size_t(n) >= sizeof where) return {};
  return std::string(where, std::size_t(n));
}

// A query names its script by adding ".php" to the path (/news?id=3 runs
// news.php). When no such script exists and the path already names one
// (/form.php?x=1), that one runs with the query.
bool runsNamedScript(const std::string& path, const SiteSettings& site) {
  const auto exists = [&](const std::string& script) {
    struct stat info {};
    return openServedFile(site.servePath, script, info).valid();
  };
  return common::endsWith(path, ".php") && !exists(path + ".php") && exists(path);
}

}  // namespace

std::string servedFolder(std::string_view servePath) {
  const std::size_t slash = servePath.rfind('/');
  if (slash == std::string_view::npos) return ".";
  return std::string(servePath.substr(0, slash + 1));
}

platform::UniqueFd openServedFile(const std::string& servePath, std::string_view path,
                                  struct stat& info) {
  if (!isContainedPath(path)) return {};
  const std::string folder = resolvedPath(servedFolder(servePath));
  const std::string target = resolvedPath(servePath + std::string(path));
  if (folder.empty() || target.empty() || !liesIn(target, folder)) return {};
  // Only a regular file is opened at all; the open cannot block in any case.
  struct stat before {};
  if (::stat(target.c_str(), &before) != 0 || !S_ISREG(before.st_mode)) return {};
  platform::UniqueFd file(
      ::open(target.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW));
  if (!file.valid() || ::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
      info.st_dev != before.st_dev || info.st_ino != before.st_ino) {
    return {};
  }
  // The file opened is the one checked, and it is still inside.
  const std::string opened = openedPath(file.get());
  if (!opened.empty() && !liesIn(opened, folder)) return {};
  ::fcntl(file.get(), F_SETFL, ::fcntl(file.get(), F_GETFL) & ~O_NONBLOCK);
  return file;
}

engine::Response notFoundAnswer() {
  return statusOnly(true);
}

std::string urlDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '+') {
      out += ' ';
    } else if (c == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 &&
               hexValue(text[i + 2]) >= 0) {
      out += char(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
      i += 2;
    } else {
      out += c;
    }
  }
  return out;
}

bool parseRange(std::string_view value, WebRequest& web) {
  value = trimBlanks(value);
  constexpr std::string_view kUnit = "bytes=";
  if (!common::startsWith(value, kUnit)) return false;
  const std::string_view ranges = value.substr(kUnit.size());
  const std::vector<std::string> pieces = common::split(ranges, '-');
  std::int64_t first = 0;
  std::int64_t last = 0;
  if (pieces.size() == 2) {
    if (!common::tryParseNumber(pieces[0], first) || !common::tryParseNumber(pieces[1], last)) {
      return false;
    }
    if (last < first) return false;  // no such range: the whole file
    // The largest last byte would make the length (and the range's end)
    // overflow; one less reaches past the end of every file just the same.
    if (last == std::numeric_limits<std::int64_t>::max()) --last;
    web.rangeStart = first;
    web.rangeLength = last - first + 1;
    web.rangeRequested = true;
    return true;
  }
  if (pieces.size() != 1 || !common::tryParseNumber(pieces[0], first)) return false;
  if (common::startsWith(ranges, "-")) {
    web.rangeLength = -first;
    web.rangeRequested = true;
  } else if (common::endsWith(ranges, "-")) {
    web.rangeStart = first;
    web.rangeRequested = true;
  }
  return false;
}

bool isContainedPath(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) return false;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find_first_of("/\\", start);
    if (end == std::string_view::npos) end = path.size();
    if (path.substr(start, end - start) == "..") return false;
    start = end + 1;
  }
  return true;
}

std::optional<ByteWindow> byteWindow(const WebRequest& web, std::uint64_t size) {
  if (!web.rangeRequested) return ByteWindow{0, size};
  const std::int64_t reach = web.rangeStart + web.rangeLength;
  if (std::uint64_t(reach < 0 ? -reach : reach) > size) return std::nullopt;
  if (web.rangeLength > 0) {
    return ByteWindow{std::uint64_t(web.rangeStart), std::uint64_t(web.rangeLength)};
  }
  if (web.rangeLength == 0) {
    return ByteWindow{std::uint64_t(web.rangeStart), size - std::uint64_t(web.rangeStart)};
  }
  return ByteWindow{size - std::uint64_t(-web.rangeLength), std::uint64_t(-web.rangeLength)};
}

std::optional<std::string> resolveUrl(std::string_view url, engine::HttpRequest& request,
                                      WebRequest& web, const SiteSettings& site) {
  std::string target(url);
  if (target == "/") target = "/" + site.rootDocument;

  const std::size_t query = target.find('?');
  if (query != std::string::npos || target.find(".php") != std::string::npos) {
    web.kind = WebKind::Php;
    if (query == std::string::npos) {
      web.filePath = target;
      return std::nullopt;
    }
    web.filePath = target.substr(0, query);
    if (!runsNamedScript(web.filePath, site)) web.filePath += ".php";
    return target.substr(query + 1);
  }
  // The same test on the decoded path, which is what the file lookup uses:
  // /config.%70hp names config.php and runs it, as /config.php does.
  const std::string decoded = urlDecode(target);
  if (decoded.find(".php") != std::string::npos) {
    web.kind = WebKind::Php;
    web.filePath = decoded;
    return std::nullopt;
  }
  if (target.size() > 1 && target.back() == '/') {
    web.kind = WebKind::Page;
    web.bodyText = kFolderRefusalPage;
    return std::nullopt;
  }
  const std::string relative(trimAll(trimAll(decoded, '\\'), '/'));
  if (!lookupMimeType(relative, request, web)) return std::nullopt;  // refused: 400
  web.kind = WebKind::File;
  web.filePath = relative;
  return std::nullopt;
}

void resolveGet(std::string_view url, engine::HttpRequest& request, WebRequest& web,
                const SiteSettings& site) {
  const std::optional<std::string> query = resolveUrl(url, request, web, site);
  if (web.kind == WebKind::Php) buildGetPrelude(query, web, site);
}

bool serveFile(engine::HttpConnection& connection, const engine::HttpRequest& request,
               const WebRequest& web, const SiteSettings& site) {
  // A path that would leave the served folder, or that is not a regular
  // file, is never served.
  struct stat info {};
  platform::UniqueFd file = openServedFile(site.servePath, web.filePath, info);
  if (!file.valid()) return engine::writeResponse(connection, request, statusOnly(true));
  const std::uint64_t size = std::uint64_t(info.st_size);
  const bool ranged = web.rangeRequested;
  const std::optional<ByteWindow> window = byteWindow(web, size);
  if (!window) {
    file.reset();
    return engine::writeResponse(connection, request, statusOnly(false));
  }
  const std::uint64_t offset = window->offset;
  const std::uint64_t length = window->length;

  engine::Response response;
  response.status = ranged ? "206 Partial content" : "200 OK";
  response.fields = "Content-Type: ";
  response.fields += mimeTable()[web.mimeIndex].contentType;
  if (ranged) {
    response.trailer = "Content-Range: bytes " + std::to_string(offset) + "-" +
                       std::to_string(std::int64_t(offset + length) - 1) + "/" +
                       std::to_string(size) + "\r\n";
    response.trailer += "Last-Modified: " + lastModifiedText(info.st_mtime) + "\r\n";
  }
  response.trailer += "Accept-Ranges: bytes\r\n";

  // A small file goes out compressed when the client takes a coding; the
  // rest is sent from the file as it is.
  const bool compress = site.compressionEnabled && length != 0 && length < kFileWindow &&
                        (request.coding == engine::kGzip || request.coding == engine::kDeflate);
  if (compress) {
    std::string body;
    if (!readWhole(file.get(), offset, body, std::size_t(length))) return false;
    response.body = body;
    response.compress = true;
    return engine::writeResponse(connection, request, std::move(response));
  }
  return engine::writeFileResponse(connection, request, response, file.get(), offset, length,
                                   kFileWindow);
}

}  // namespace web
