// Which answer a GET target gets: a built-in document, the log, the status
// pages, the relay's playlist, the guide, the quit command, a stream, or 400.
#pragma once

#include <string_view>

#include "relay/app/relay_log.h"
#include "relay/app/relay_request.h"

namespace relay {

// Paths of the built-in documents, by document index.
inline constexpr std::string_view kDocumentPaths[] = {"/description.xml", "/cm.xml", "/cds.xml"};

// [source "@"] group ":" port, the group a multicast address, the source
// one unicast sender (parseSource) whose datagrams alone the stream carries.
// False leaves `address` alone.
bool parseStreamAddress(std::string_view text, StreamAddress& address);

// The query parameter that carries --token.
inline constexpr std::string_view kTokenParameter = "token=";

// Classifies the target exactly as sent (no decoding; a query counts but
// after a stream address and a tuner path, where it is ignored, and after
// the playlist and guide paths when it carries "token="); a
// target it does not know leaves the request as it was. Stream requests are
// printed and written to `log`, a token's value left out.
void resolveUrl(std::string_view url, RelayRequest& request, std::string_view streamToken,
                RelayLog& log);

}  // namespace relay
