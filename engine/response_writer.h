// The one writer of answers: every status line of both programs is written
// here. A program describes its answer (status, its header lines in the
// order its rows require, the body or a file window) and the writer adds
// the parts the connection decides: the version, Content-Encoding with the
// coded body, Content-Length, and the connection lines from the settings.
//
// A head reads:
//   "HTTP/" version " " status CRLF
//   fields
//   [Content-Encoding line] [Content-Length line]
//   afterLength
//   [connection lines]
//   trailer
//   CRLF
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/http_engine.h"
#include "engine/http_request.h"

namespace engine {

struct Response {
  std::string_view status;  // "200 OK"
  // The status line's version; empty for the one the request asked for.
  std::string_view version;
  std::string fields;       // header lines before the length, each ending in CRLF
  std::string afterLength;  // lines between the length and the connection lines
  std::string trailer;      // lines after the connection lines
  bool connectionLines = true;

  std::string_view body;
  // The coding `body` is already in (a precompressed document).
  ContentCoding bodyCoding = kIdentity;
  // Code `body` into the request's coding, when that is gzip or deflate.
  bool compress = false;
  // A Content-Length line for what is sent. Without one the answer's end
  // is the connection's end, or (a stream) there is none.
  bool counted = true;

  // The connection closes once the answer is sent, whatever the request asked.
  bool close = false;
};

// A HEAD request: every answer is sent without its body.
bool isHead(const HttpRequest& request);

// The head alone, for a body of `length` bytes already in `response.bodyCoding`:
// what a hand-off sends before writing its own body (a stream).
std::string responseHead(const HttpEngineSettings& settings, const HttpRequest& request,
                         const Response& response, std::uint64_t length = 0);

// Sends head and body (the head alone for a HEAD). False when the connection must close: the answer
// says so or a send failed.
bool writeResponse(HttpConnection& connection, const HttpRequest& request, Response response);

// Sends the head for `length` bytes of `file` from `offset`, then those
// bytes `window` at a time. False as above, or when the file turns out shorter.
bool writeFileResponse(HttpConnection& connection, const HttpRequest& request,
                       const Response& response, int file, std::uint64_t offset,
                       std::uint64_t length, std::size_t window);

}  // namespace engine
