// One parsed request and the response the application chose for it.
//
// The request handler writes no bytes: it classifies the request by setting
// `kind` and its companion fields, and the connection worker frames the
// answer from them. The fields of both programs live in one record; each
// program's defaults are set by reset().
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace engine {

enum class Variant { Web, Relay };

// Values of `kind`.
namespace relaykind {
inline constexpr int kDocument = 0;
inline constexpr int kGeneratedText = 1;
inline constexpr int kStream = 3;
inline constexpr int kSoap = 5;
inline constexpr int kSubscription = 6;
inline constexpr int kUnsubscribe = 7;
inline constexpr int kQuit = 8;
inline constexpr int kError = 9;
}  // namespace relaykind

namespace webkind {
inline constexpr int kPage = 0;
inline constexpr int kFile = 1;
inline constexpr int kPhp = 2;
inline constexpr int kError = 3;
}  // namespace webkind

// Rows of the relay's error table (`target` of kind 9).
namespace errorrow {
inline constexpr std::uint32_t kBadRequest = 0;
inline constexpr std::uint32_t kNotAcceptable = 1;
inline constexpr std::uint32_t kInternalError = 2;
inline constexpr std::uint32_t kNotImplemented = 3;
}  // namespace errorrow

// Values of `coding`.
enum ContentCoding : int { kIdentity = 0, kGzip = 1, kDeflate = 2, kNothingAcceptable = 3 };

// The arguments of a SOAP control request, by slot: ObjectID, BrowseFlag,
// Filter, StartingIndex, RequestedCount, SortCriteria, (unused),
// NumberReturned, TotalMatches.
using SoapArguments = std::array<std::string, 9>;

struct HeaderField {
  std::string name;  // upper-cased; the method for the request line
  std::string value;
};

struct HttpRequest {
  int kind = relaykind::kError;
  bool closeAfter = false;
  bool acceptLanguage = false;
  int versionIndex = 1;
  int coding = kIdentity;

  // Relay: what `kind` selects (document index, group address in network
  // order, error row ...) and its companion (UDP port in network order, SOAP
  // action).
  std::uint32_t target = 0;
  std::uint32_t action = 0;

  // Relay: what a SOAP control request carried.
  SoapArguments soapArguments;

  // Web server.
  std::string contentType;
  std::string cookie;
  std::string ifRange;
  std::string userAgent;
  std::int64_t rangeStart = 0;
  std::int64_t rangeLength = 0;
  bool rangeRequested = false;
  int mimeIndex = 0;
  std::string filePath;
  std::string bodyText;

  // The header list: entry 0 is the request line, then one entry per header
  // line with a colon, then (when the blank line was found) the body with an
  // empty name at `bodyIndex` (0 when there is none).
  std::vector<HeaderField> headers;
  std::size_t bodyIndex = 0;

  void reset(Variant variant) {
    *this = HttpRequest{};
    kind = variant == Variant::Web ? webkind::kError : relaykind::kError;
    closeAfter = variant == Variant::Web;
  }
};

// "1.0", "1.1", "1.1": the status line's version after "HTTP/".
const char* versionText(int versionIndex);

}  // namespace engine
