// When a request is complete, and how it is split into a header list and
// classified.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/http_request.h"

namespace engine {

// Upper limit of a collected request.
inline constexpr std::size_t kLargestRequest = 10240000;

// The application's entry points; a missing one leaves the defaults (400).
struct RequestHandler {
  // GET, with the request target exactly as sent.
  std::function<void(std::string_view target, HttpRequest&)> get;
  // Web server: POST without SOAPACTION (the handler also reads the body).
  std::function<void(std::string_view target, HttpRequest&)> post;
  // Web server: the Range header's value, read into the range fields.
  std::function<void(std::string_view value, HttpRequest&)> range;
  // Relay: SUBSCRIBE, given the whole request with its header list.
  std::function<void(HttpRequest&)> subscribe;
  // Relay: POST with a SOAPACTION header (at `soapActionIndex` of the list),
  // while a playlist is loaded. Called after kind 5 / target 0 / action 0.
  std::function<void(HttpRequest&, std::size_t soapActionIndex)> soapPost;
};

// True when the collected bytes can be answered; `malformed` asks for the
// 400 answer without parsing. A POST whose Content-Length can never fit
// kLargestRequest is malformed as soon as its head is in. The worker collects
// with RequestCollector, which gives the same answers receive by receive.
bool isComplete(std::string_view bytes, bool& malformed);

enum class LengthHeader { Absent, Valid, Invalid };
// The CONTENT-LENGTH line's value. Invalid when it holds no decimal number
// or a negative one.
LengthHeader contentLength(std::string_view text, std::int64_t& value);

// Fills `headers`; returns the body entry's index, or 0 without a blank line.
std::size_t splitHeaders(std::string_view text, std::vector<HeaderField>& headers);

// Index of the first entry named exactly `upperName`, or -1.
int findHeader(const std::vector<HeaderField>& headers, std::string_view upperName);

// 0 for HTTP/1.0, 1 for anything else.
int versionOf(std::string_view rest, std::size_t start);

void parseRequest(std::string_view bytes, HttpRequest& request, Variant variant,
                  const RequestHandler& handler);

}  // namespace engine
