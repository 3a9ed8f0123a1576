// A playlist file as anyone may write it: the loaded list must keep the
// layout the ContentDirectory relies on, and browsing it must succeed with
// every title escaped inside the result and the answer clean UTF-8.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/utf8.h"
#include "relay/upnp/channel_list.h"
#include "relay/upnp/control_handler.h"

namespace {

[[noreturn]] void fail() {
  std::abort();
}

// The DIDL-Lite of a Browse answer sits escaped inside <Result>: no raw
// markup from a title may appear there, and no byte an XML parser rejects
// anywhere.
void checkBrowse(const relay::ControlHandler& control, std::string_view objectId,
                 std::string_view flag, std::uint32_t expectedTotal) {
  relay::SoapArguments arguments;
  arguments[relay::soapslot::kObjectId] = objectId;
  arguments[relay::soapslot::kBrowseFlag] = flag;
  arguments[relay::soapslot::kStartingIndex] = "0";
  arguments[relay::soapslot::kRequestedCount] = "0";
  std::string body;
  if (control.dispatch(relay::soapservice::kContentDirectory, 1, arguments, body) != 0) fail();
  if (common::cleanUtf8(body) != body) fail();
  const std::size_t open = body.find("<Result>");
  const std::size_t close = body.find("</Result>");
  if (open == std::string::npos || close == std::string::npos || close < open) fail();
  if (body.substr(open + 8, close - open - 8).find('<') != std::string::npos) fail();
  if (arguments[relay::soapslot::kTotalMatches] != std::to_string(expectedTotal)) fail();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  relay::ChannelList list;
  std::size_t reports = 0;
  list.loadText(text, [&](std::string_view) { ++reports; });

  if (list.groupNames.empty() || list.groupNames[0] != "All") fail();
  if (list.groupNames.size() != list.groupEntries.size()) fail();
  if (list.groupEntries[0].size() != list.channels.size()) fail();
  for (std::size_t k = 1; k < list.channels.size(); ++k) {
    if (list.channels[k - 1].number > list.channels[k].number) fail();
  }
  std::size_t total = 0;
  for (std::size_t g = 0; g < list.groupEntries.size(); ++g) {
    for (const relay::Channel& entry : list.groupEntries[g]) {
      if (entry.groupIndex != std::int32_t(g)) fail();
      if (entry.address.empty()) fail();
    }
    total += list.groupEntries[g].size();
  }
  if (list.entries.size() != total) fail();
  for (std::size_t k = 0; k < list.entries.size(); ++k) {
    if (list.entries[k].id != k + 1) fail();
  }

  const relay::ControlHandler control(&list, "192.168.0.2", 2901);
  checkBrowse(control, "0", "BrowseDirectChildren", std::uint32_t(list.groupNames.size()));
  checkBrowse(control, "0", "BrowseMetadata", 1);
  checkBrowse(control, "gr1", "BrowseDirectChildren", std::uint32_t(list.channels.size()));
  const std::size_t last = list.groupNames.size();
  checkBrowse(control, "gr" + std::to_string(last), "BrowseMetadata", 1);
  if (!list.entries.empty()) {
    checkBrowse(control, std::to_string(list.entries.size()), "BrowseMetadata", 1);
  }
  return 0;
}
