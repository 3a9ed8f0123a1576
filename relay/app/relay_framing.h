// The relay's answers that are a head and a body: the built-in documents
// (precompressed once), the log, SOAP control answers, the unsubscribe
// answer, the quit command and the error rows. Streams and subscriptions
// are hand-offs and answer on the connection themselves.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/http_engine.h"
#include "platform/event.h"

namespace relay {

struct RelayFramingSettings {
  // By `target` of a document request.
  std::vector<std::string> documents;
  // The text of a generated-text request, by `target`.
  std::function<std::string(std::uint32_t target)> generatedText;
  // A SOAP control answer's body; 0 for success, else the body is a fault.
  std::function<int(const engine::HttpRequest&, std::string& body)> soapResponder;
  // Set by the quit command.
  std::shared_ptr<platform::Event> quitEvent;
};

// The framing the relay's engine runs with. The documents are compressed
// here, once, with `startTime` in their gzip header.
engine::Framing relayFraming(RelayFramingSettings settings, std::uint32_t startTime);

}  // namespace relay
