// When a request is complete, and how it is split into a header list, its
// request line and the rules every answer depends on.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "engine/http_request.h"

namespace engine {

// Upper limit of a collected request.
inline constexpr std::size_t kLargestRequest = 10240000;

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

// Fills `request` from a complete request's bytes: the header list, the
// request line, the version, Connection (close, keep-alive; otherwise
// `keepAliveByDefault` decides), Accept-Encoding and Accept-Language.
void parseRequest(std::string_view bytes, HttpRequest& request, bool keepAliveByDefault);

}  // namespace engine
