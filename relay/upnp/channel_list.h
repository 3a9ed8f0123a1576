// The channels of the media server's M3U playlist, read once at start-up:
// sorted by channel number, grouped by their #EXTTV names (or the
// group-title of their #EXTINF line), and laid out flat as the
// ContentDirectory's items (every group one container).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/line_writer.h"

namespace relay {

// One channel, or one copy of it inside a group.
struct Channel {
  std::uint32_t id = 0;  // ContentDirectory object number: position in `entries` + 1
  std::uint32_t number = 0;
  std::string title;
  std::string groups;   // group names separated by `groupSeparator`
  std::string address;  // multicast address as written
  std::uint16_t port = 0;
  std::int32_t groupIndex = 0;  // index into groupNames; 0 is "All"
  std::string logo;             // the tvg-logo URL, or empty
  char groupSeparator = ',';    // "," for #EXTTV text, ";" for a group-title
  // The #EXTINF attributes that link a channel to a programme guide, as the
  // playlist gave them (cleaned), or empty. Initialised here, so that a
  // channel written out field by field may end before them.
  std::string tvgId = {};
  std::string tvgName = {};
  std::string tvgChno = {};
  // Position in ChannelList::channels, the same in every copy; the guide's
  // keys are made one per channel in that order.
  std::uint32_t listIndex = 0;
  // The one sender of a source-specific channel ("udp://source@group:port"),
  // as written (cleaned); empty for any sender.
  std::string source = {};

  bool operator==(const Channel&) const = default;
};

// The number of a channel whose number is missing or does not convert: it
// sorts after every other.
inline constexpr std::uint32_t kUnnumbered = 4294967295u;

// Read-only once loaded, so any number of threads may read it without a lock.
struct ChannelList {
  std::vector<Channel> channels;
  // What follows "http-get:*:" in item resources and GetProtocolInfo.
  std::string protocolInfo = "video/mpeg:*";
  std::vector<std::string> groupNames;  // "All" first, then by first appearance
  std::vector<std::vector<Channel>> groupEntries;
  std::vector<Channel> entries;
  // The guide the playlist's header names (x-tvg-url, else url-tvg), the
  // first when it lists several; empty when it names none.
  std::string guideUrl;

  // Reads the playlist file. A file that cannot be read, or whose first line
  // lacks "#EXTM3U", gives the "All" group alone. Channels dropped because
  // their port does not convert are reported on `writeLine` by line number.
  // Every text that reaches the ContentDirectory is made clean UTF-8
  // (common::cleanUtf8); the first line that needed it is reported, once.
  void load(const std::string& path, const common::LineWriter& writeLine = {});
  // The same over the file's bytes.
  void loadText(std::string_view text, const common::LineWriter& writeLine = {});
};

}  // namespace relay
