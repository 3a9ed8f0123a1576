// One parsed request, as the engine hands it to a program: method, URL,
// version, the header list and the body, with the connection and coding
// rules already applied. What the request asks for in a program's terms is
// the program's own business (its RequestHandler classifies it).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace engine {

// The coding an answer's body may be sent in, from Accept-Encoding.
enum ContentCoding : int { kIdentity = 0, kGzip = 1, kDeflate = 2, kNothingAcceptable = 3 };

struct HeaderField {
  std::string name;  // upper-cased; the method for the request line
  std::string value;
};

struct HttpRequest {
  // The collector refused the bytes: the program answers its 400.
  bool malformed = false;
  // From the request line. `url` is the request target exactly as sent (no
  // decoding, query included); `hasUrl` is false when the line has no
  // " HTTP" after it, which no handler answers.
  std::string method;
  std::string url;
  bool hasUrl = false;
  int versionIndex = 1;

  bool closeAfter = false;
  bool acceptLanguage = false;
  ContentCoding coding = kIdentity;

  // The header list: entry 0 is the request line, then one entry per header
  // line with a colon, then (when the blank line was found) the body with an
  // empty name at `bodyIndex` (0 when there is none).
  std::vector<HeaderField> headers;
  std::size_t bodyIndex = 0;

  // The value of the first entry named exactly `upperName` (the request line
  // included), or null.
  const std::string* header(std::string_view upperName) const;
  // The body after the blank line; empty without one.
  std::string_view body() const;
};

// "1.0", "1.1", "1.1": the status line's version after "HTTP/".
const char* versionText(int versionIndex);

}  // namespace engine
