// URL decoding and the check that keeps a decoded path inside the served
// folder, plus the GET classification that uses both. The check is compared
// with a walk that climbs for ".." and descends for every other segment. A
// static file is never one that PHP would run: its path never holds ".php";
// a POST names what the GET names.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "engine/http_request.h"
#include "web/php_gateway.h"
#include "web/site_settings.h"
#include "web/static_files.h"
#include "web/web_request.h"

namespace {

// Whether resolving the path segment by segment ever climbs above its start.
bool climbsOut(std::string_view path) {
  long depth = 0;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find_first_of("/\\", start);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view segment = path.substr(start, end - start);
    if (segment == "..") {
      if (--depth < 0) return true;
    } else if (!segment.empty() && segment != ".") {
      ++depth;
    }
    start = end + 1;
  }
  return false;
}

void checkContainment(std::string_view path) {
  if (!web::isContainedPath(path)) return;
  if (path.find('\0') != std::string_view::npos || climbsOut(path)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::string decoded = web::urlDecode(text);
  if (decoded.size() > text.size()) std::abort();
  if (text.find_first_of("%+") == std::string_view::npos && decoded != text) std::abort();
  checkContainment(text);
  checkContainment(decoded);

  // The GET side: a file request's path is what the file responder opens.
  web::SiteSettings site;
  site.servePath = "/nonexistent/www/";
  site.rootDocument = "index.html";
  engine::HttpRequest request;
  web::WebRequest classified;
  web::resolveGet(text, request, classified, site);
  if (classified.kind == web::WebKind::File) {
    checkContainment(classified.filePath);
    if (classified.filePath.find(".php") != std::string::npos) std::abort();
  }
  if (classified.kind == web::WebKind::Php) {
    checkContainment(classified.filePath);
    checkContainment(web::urlDecode(classified.filePath));
  }
  // A POST names exactly what the GET names: it runs no file a GET would
  // not run, and is answered as the GET is otherwise.
  web::WebRequest posted;
  web::resolvePost(text, request, posted, site);
  if (posted.kind != classified.kind || posted.filePath != classified.filePath) std::abort();
  return 0;
}
