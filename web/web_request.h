// What a request asks of the web server, and the answer it gets: the
// engine's parsed request is classified into a page, a static file, a PHP
// page or the 400, and answered through the engine's response writer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/http_engine.h"
#include "engine/http_request.h"
#include "web/site_settings.h"

namespace web {

struct FormField {
  std::string name;
  std::string value;
  // A multipart file part (its Content-Disposition has a filename): the
  // script finds it in $_FILES only, as PHP's own upload handling gives it.
  // The value is the file's content, written to a temporary file only when
  // the page runs. `fileName` is the name as the client sent it, path and
  // all; an empty one means no file was chosen.
  bool file = false;
  std::string fileName = {};
  std::string fileType = {};
};

enum class WebKind {
  Page,   // a generated page: `bodyText`
  File,   // a static file: `filePath`, `mimeIndex` and the range fields
  Php,    // a PHP script: `filePath`, with its prelude in `bodyText`
  Error,  // the 400 row
};

struct WebRequest {
  WebKind kind = WebKind::Error;

  // Copies of the request's header values.
  std::string contentType;
  std::string cookie;
  std::string ifRange;
  std::string userAgent;

  // From the Range header (see parseRange): a first byte and a length, a
  // negative length for the last bytes, 0 for all bytes from the first.
  std::int64_t rangeStart = 0;
  std::int64_t rangeLength = 0;
  bool rangeRequested = false;

  std::size_t mimeIndex = 0;  // row of mimeTable() for a static file
  std::string filePath;       // relative path of a file, script path of a PHP page
  std::string bodyText;       // a page's text; the PHP prelude for a script
  // A PHP page's file parts, content and all, in the order sent. Classifying
  // writes nothing: servePhp stores them in temporary files for the run.
  std::vector<FormField> uploads;
};

// Reads the header values the web server uses (Content-Type, Cookie, Range,
// If-Range, User-Agent) and classifies the request: a GET or HEAD by resolveGet, a
// POST without a SOAPACTION header by resolvePost. Any other method, a
// request line without a version and a malformed request get the 400.
WebRequest classifyWebRequest(engine::HttpRequest& request, const SiteSettings& site);

// Answers a classified request on the connection: the page, the file, the
// PHP page or the 400 (which closes). False when the connection must close.
bool answerWebRequest(engine::HttpConnection& connection, engine::HttpRequest& request,
                      WebRequest& web, const SiteSettings& site);

}  // namespace web
