// A playlist file as anyone may write it: the loaded list must keep the
// layout the ContentDirectory relies on, and browsing it must succeed with
// every title escaped inside the result and the answer clean UTF-8. The
// relay's own playlist made from it is clean UTF-8 too, one #EXTINF line
// and one of the relay's stream URLs per channel.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/utf8.h"
#include "relay/upnp/channel_list.h"
#include "relay/upnp/control_handler.h"
#include "relay/upnp/playlist_export.h"

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

// Every value quoted and free of quotes, so the title starts after the
// first comma outside them; every URL one of the relay's.
void checkExport(const relay::ChannelList& list) {
  const std::string text = relay::exportPlaylist({&list, "192.168.0.2:2901", true});
  if (!text.starts_with("#EXTM3U x-tvg-url=\"http://192.168.0.2:2901/epg.xml.gz\"\n")) fail();
  std::size_t lines = 0;
  std::size_t start = text.find('\n') + 1;
  while (start < text.size()) {
    const std::size_t end = text.find('\n', start);
    if (end == std::string::npos) fail();
    const std::string_view line = std::string_view(text).substr(start, end - start);
    if (common::cleanUtf8(line) != line) fail();
    if (lines % 2 == 0) {
      if (!line.starts_with("#EXTINF:-1")) fail();
      std::size_t i = 10;
      while (i < line.size() && line[i] == ' ') {
        const std::size_t open = line.find("=\"", i);
        const std::size_t close = open == std::string_view::npos ? open : line.find('"', open + 2);
        if (close == std::string_view::npos) fail();
        i = close + 1;
      }
      if (i >= line.size() || line[i] != ',') fail();
    } else {
      // [source "@"] group ":" port, the source a sender the relay takes.
      const std::string_view url = "http://192.168.0.2:2901/vkx/";
      if (!line.starts_with(url) ||
          line.find_first_not_of("0123456789.:@", url.size()) != std::string_view::npos) {
        fail();
      }
      const std::string_view address = line.substr(url.size());
      if (const std::size_t at = address.find('@'); at != std::string_view::npos) {
        if (relay::parseSource(address.substr(0, at)) == 0) fail();
      }
    }
    ++lines;
    start = end + 1;
  }
  if (lines % 2 != 0 || lines / 2 > list.channels.size()) fail();
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
  checkExport(list);
  return 0;
}
