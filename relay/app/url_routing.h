// Which answer a GET target gets: a built-in document, the log, the quit
// command, a stream, or 400.
#pragma once

#include <string_view>

#include "engine/http_request.h"
#include "relay/app/relay_log.h"

namespace relay {

// Paths of the built-in documents, by document index.
inline constexpr std::string_view kDocumentPaths[] = {"/description.xml", "/cm.xml", "/cds.xml"};

// group ":" port, the group a multicast address; sets target (group) and
// action (port), both in network order. False leaves them alone.
bool parseStreamAddress(std::string_view text, engine::HttpRequest& request);

// Classifies the target exactly as sent (no decoding, query included).
// Stream requests are printed and written to `log`.
void resolveUrl(std::string_view url, engine::HttpRequest& request, std::string_view streamToken,
                RelayLog& log);

}  // namespace relay
