#include "engine/request_parser.h"

#include "common/parse_number.h"
#include "common/text.h"
#include "engine/request_collector.h"

namespace engine {
namespace {

constexpr std::string_view kBlankLine = "\r\n\r\n";
constexpr const char* kVersionRows[] = {"1.0", "1.1", "1.1"};

bool endsWithUnrefused(std::string_view token) {
  return token.size() < 3 || token.substr(token.size() - 3) != "q=0";
}

// The coding a client accepts, from its Accept-Encoding value.
ContentCoding chooseCoding(std::string_view value) {
  const std::string lowered = common::toLowerAscii(value);
  if (lowered.empty() || lowered == "*") return kIdentity;
  for (const std::string& token : common::split(lowered, ',')) {
    if (common::contains(token, "gzip") && endsWithUnrefused(token)) return kGzip;
    if (common::contains(token, "deflate") && endsWithUnrefused(token)) return kDeflate;
  }
  return kNothingAcceptable;
}

// Header lines are split on CR and LF alike, empty lines dropped.
std::vector<std::string_view> headLines(std::string_view head) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  while (start < head.size()) {
    const std::size_t end = head.find_first_of("\r\n", start);
    const std::size_t stop = end == std::string_view::npos ? head.size() : end;
    if (stop > start) lines.push_back(head.substr(start, stop - start));
    start = stop + 1;
  }
  return lines;
}

}  // namespace

const char* versionText(int versionIndex) {
  return versionIndex >= 0 && versionIndex < 3 ? kVersionRows[versionIndex] : kVersionRows[1];
}

LengthHeader contentLength(std::string_view text, std::int64_t& value) {
  for (std::string_view line : headLines(text)) {
    const std::string upper = common::toUpperAscii(line);
    if (!upper.starts_with("CONTENT-LENGTH:")) continue;
    const std::string_view number = common::trim(line.substr(15), " ");
    // A value that is no number, or a negative one, can never be met.
    if (!common::tryParseNumber(number, value) || value < 0) return LengthHeader::Invalid;
    return LengthHeader::Valid;
  }
  return LengthHeader::Absent;
}

bool isComplete(std::string_view bytes, bool& malformed) {
  RequestCollector collector;
  const RequestCollector::Status status = collector.append(bytes);
  malformed = status == RequestCollector::Status::Malformed;
  return status != RequestCollector::Status::Waiting;
}

std::size_t splitHeaders(std::string_view text, std::vector<HeaderField>& headers) {
  const std::size_t blank = text.find(kBlankLine);
  const std::string_view head = blank == std::string_view::npos ? text : text.substr(0, blank);
  const std::vector<std::string_view> lines = headLines(head);

  if (!lines.empty()) {
    const std::string_view requestLine = lines[0];
    const std::size_t space = requestLine.find(' ');
    if (space == std::string_view::npos) {
      headers.push_back({std::string(requestLine), ""});
    } else {
      headers.push_back(
          {std::string(requestLine.substr(0, space)), std::string(requestLine.substr(space + 1))});
    }
  } else {
    headers.push_back({"", ""});
  }
  for (std::string_view line : lines) {
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    headers.push_back({common::toUpperAscii(common::trim(line.substr(0, colon), " ")),
                       std::string(common::trim(line.substr(colon + 1), " "))});
  }
  if (blank == std::string_view::npos) return 0;
  headers.push_back({"", std::string(text.substr(blank + kBlankLine.size()))});
  return headers.size() - 1;
}

int findHeader(const std::vector<HeaderField>& headers, std::string_view upperName) {
  for (std::size_t i = 0; i < headers.size(); ++i) {
    if (headers[i].name == upperName) return int(i);
  }
  return -1;
}

int versionOf(std::string_view rest, std::size_t start) {
  const std::size_t slash = rest.find('/', start);
  if (slash == std::string_view::npos || rest.size() - slash - 1 < 2) return 1;
  const std::string_view version = rest.substr(slash + 1);
  for (int i = 0; i < 3; ++i) {
    if (version == kVersionRows[i]) return i;
  }
  return 1;
}

const std::string* HttpRequest::header(std::string_view upperName) const {
  const int index = findHeader(headers, upperName);
  return index < 0 ? nullptr : &headers[std::size_t(index)].value;
}

std::string_view HttpRequest::body() const {
  return bodyIndex != 0 && bodyIndex < headers.size() ? std::string_view(headers[bodyIndex].value)
                                                      : std::string_view();
}

void parseRequest(std::string_view bytes, HttpRequest& request, bool keepAliveByDefault) {
  request = HttpRequest{};
  request.closeAfter = !keepAliveByDefault;
  request.bodyIndex = splitHeaders(bytes, request.headers);

  if (const std::string* connection = request.header("CONNECTION")) {
    const std::string lowered = common::toLowerAscii(*connection);
    if (lowered == "close") request.closeAfter = true;
    if (lowered == "keep-alive") request.closeAfter = false;
  }
  if (const std::string* encoding = request.header("ACCEPT-ENCODING")) {
    request.coding = chooseCoding(*encoding);
  }
  if (request.header("ACCEPT-LANGUAGE")) request.acceptLanguage = true;

  request.method = request.headers[0].name;
  const std::string& rest = request.headers[0].value;
  const std::size_t http = rest.rfind(" HTTP");
  if (http == std::string::npos) return;
  request.url = rest.substr(0, http);
  request.hasUrl = true;
  request.versionIndex = versionOf(rest, http);
}

}  // namespace engine
