// A control request as the relay reads it: the SOAPACTION value (the
// input's first line) and the body (the rest) through the action lookup,
// the envelope check and the Browse argument scanner, then the answer over
// a small fixed playlist. The scanners run on every body, not only on those
// that pass the envelope check, since any body can be given a passing
// envelope tag in front.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "fuzz_playlist.h"
#include "relay/upnp/control_handler.h"
#include "relay/upnp/soap_scanner.h"

namespace {

[[noreturn]] void fail() {
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::size_t lineEnd = text.find('\n');
  const std::string_view value = text.substr(0, lineEnd);
  const std::string_view body = lineEnd == std::string_view::npos ? "" : text.substr(lineEnd + 1);

  const std::optional<relay::SoapAction> action = relay::classifySoapAction(value);
  relay::checkEnvelope(body);
  relay::SoapArguments arguments;
  relay::readBrowseArguments(body, arguments);
  if (!action) return 0;

  static const relay::ControlHandler control(&fuzzing::fixedPlaylist(), "192.168.0.2", 2901);
  std::string answer;
  const int code = control.dispatch(action->service, action->action, arguments, answer);
  if (!answer.starts_with("<s:Envelope ") || !answer.ends_with("</s:Body></s:Envelope>")) fail();
  if (code != 0) {
    if (answer.find("<errorCode>" + std::to_string(code) + "</errorCode>") == std::string::npos) {
      fail();
    }
    return 0;
  }
  const std::size_t open = answer.find("<Result>");
  if (open == std::string::npos) return 0;
  const std::size_t close = answer.find("</Result>");
  if (close == std::string::npos || close < open) fail();
  // Titles, object ids and the DIDL markup all stay escaped in the result.
  if (answer.substr(open + 8, close - open - 8).find('<') != std::string::npos) fail();
  std::uint32_t returned = 0;
  std::uint32_t matches = 0;
  try {
    returned = std::uint32_t(std::stoul(arguments[relay::soapslot::kNumberReturned]));
    matches = std::uint32_t(std::stoul(arguments[relay::soapslot::kTotalMatches]));
  } catch (...) {
    fail();
  }
  if (returned > matches) fail();
  return 0;
}
