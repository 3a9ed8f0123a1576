#include "web/web_request.h"

#include "engine/response_writer.h"
#include "web/php_gateway.h"
#include "web/static_files.h"

namespace web {
namespace {

// A generated page (the folder refusal): compressed when the site allows
// it, in English when the client asked for a language.
bool answerPage(engine::HttpConnection& connection, const engine::HttpRequest& request,
                const WebRequest& web, const SiteSettings& site) {
  engine::Response response;
  response.status = "200 OK";
  response.fields = "Content-Type: text/html\r\n";
  response.body = web.bodyText;
  response.compress = site.compressionEnabled;
  if (request.acceptLanguage) response.trailer = "Content-Language: en\r\n";
  return engine::writeResponse(connection, request, std::move(response));
}

// The 400 row closes the connection whatever the request asked.
bool answerBadRequest(engine::HttpConnection& connection, const engine::HttpRequest& request) {
  engine::Response response;
  response.status = "400 Bad Request";
  response.fields = "Connection: close\r\n";
  response.connectionLines = false;
  response.close = true;
  return engine::writeResponse(connection, request, std::move(response));
}

}  // namespace

WebRequest classifyWebRequest(engine::HttpRequest& request, const SiteSettings& site) {
  WebRequest web;
  if (request.malformed) return web;
  if (const std::string* v = request.header("CONTENT-TYPE")) web.contentType = *v;
  if (const std::string* v = request.header("COOKIE")) web.cookie = *v;
  if (const std::string* v = request.header("RANGE")) parseRange(*v, web);
  if (const std::string* v = request.header("IF-RANGE")) {
    web.ifRange = *v;
    web.rangeRequested = false;  // any If-Range makes the answer a full one
  }
  if (const std::string* v = request.header("USER-AGENT")) web.userAgent = *v;

  if (!request.hasUrl) return web;
  // A HEAD gets the head a GET gets (a PHP page runs as for the GET, so
  // the length is the page's); the writer leaves out the body.
  if (request.method == "GET" || request.method == "HEAD") {
    resolveGet(request.url, request, web, site);
  } else if (request.method == "POST" && !request.header("SOAPACTION")) {
    resolvePost(request.url, request, web, site);
  }
  return web;
}

bool answerWebRequest(engine::HttpConnection& connection, engine::HttpRequest& request,
                      WebRequest& web, const SiteSettings& site) {
  if (request.malformed) return answerBadRequest(connection, request);
  switch (web.kind) {
    case WebKind::Page:
      return answerPage(connection, request, web, site);
    case WebKind::File:
      return serveFile(connection, request, web, site);
    case WebKind::Php:
      return servePhp(connection, request, web, site);
    case WebKind::Error:
      break;
  }
  return answerBadRequest(connection, request);
}

}  // namespace web
