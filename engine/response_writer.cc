#include "engine/response_writer.h"

#include "engine/compression.h"

namespace engine {
namespace {

std::string connectionLines(const HttpEngineSettings& settings, const HttpRequest& request) {
  if (settings.connectionLines == ConnectionLines::WhenClosing) {
    return request.closeAfter ? "Connection: close\r\n" : "";
  }
  if (request.closeAfter) return "Connection: Close\r\n";
  return "Connection: Keep-Alive\r\nKeep-Alive: timeout=" +
         std::to_string(settings.idleTimeoutMs / 1000) + "\r\n";
}

}  // namespace

bool isHead(const HttpRequest& request) {
  return request.method == "HEAD";
}

std::string responseHead(const HttpEngineSettings& settings, const HttpRequest& request,
                         const Response& response, std::uint64_t length) {
  std::string head = "HTTP/";
  head += response.version.empty() ? versionText(request.versionIndex) : response.version;
  head += ' ';
  head += response.status;
  head += "\r\n";
  head += response.fields;
  if (response.bodyCoding == kGzip) head += "Content-Encoding: gzip\r\n";
  if (response.bodyCoding == kDeflate) head += "Content-Encoding: deflate\r\n";
  if (response.counted) head += "Content-Length: " + std::to_string(length) + "\r\n";
  head += response.afterLength;
  if (response.connectionLines) head += connectionLines(settings, request);
  head += response.trailer;
  head += "\r\n";
  return head;
}

bool writeResponse(HttpConnection& connection, const HttpRequest& request, Response response) {
  std::string coded;
  if (response.compress && (request.coding == kGzip || request.coding == kDeflate)) {
    const bool gzip = request.coding == kGzip;
    coded = compressBody(gzip, response.body, kResponseLevel, connection.core().startTime);
    response.body = coded;
    response.bodyCoding = request.coding;
  }
  const std::string head =
      responseHead(connection.settings(), request, response, response.body.size());
  // Head and body go out as two sends. A HEAD gets the head GET would get:
  // the length of the body it does not get.
  const bool bodyFollows = !response.body.empty() && !isHead(request);
  if (!connection.sendAll(head, bodyFollows)) return false;
  if (bodyFollows && !connection.sendAll(response.body)) return false;
  return !response.close;
}

bool writeFileResponse(HttpConnection& connection, const HttpRequest& request,
                       const Response& response, int file, std::uint64_t offset,
                       std::uint64_t length, std::size_t window) {
  const std::string head = responseHead(connection.settings(), request, response, length);
  if (isHead(request)) return connection.sendAll(head) && !response.close;
  if (!connection.sendAll(head, length != 0)) return false;
  return connection.sendFile(file, offset, length, window) && !response.close;
}

}  // namespace engine
