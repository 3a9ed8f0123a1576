#include "relay/upnp/channel_list.h"

#include <algorithm>
#include <fstream>
#include <utility>

#include "common/parse_number.h"
#include "common/text.h"

namespace relay {
namespace {

constexpr std::string_view kAllGroup = "All";
constexpr std::string_view kUdpScheme = "udp://";

// Only the space character counts as padding in a playlist.
std::string_view trimSpaces(std::string_view text) {
  return common::trim(text, " ");
}

// The text after `pos`; nothing when `pos` is npos.
std::string_view after(std::string_view text, std::size_t pos) {
  return pos == std::string_view::npos ? std::string_view{} : text.substr(pos + 1);
}

std::uint32_t channelNumber(std::string_view text) {
  std::uint32_t number = 0;
  return common::tryParseNumber(text, number) ? number : kUnnumbered;
}

// "#EXTINF:<duration>,<title>". A duration of exactly "0" means the title
// carries the channel number in front: "<number> - <title>".
void applyExtInf(std::string_view line, Channel& channel) {
  const std::size_t colon = line.find(':');
  if (colon == std::string_view::npos) return;
  const std::size_t comma = line.find(',', colon + 1);
  std::string_view numberText = trimSpaces(line.substr(colon + 1, comma - (colon + 1)));
  std::string_view title;
  if (comma != std::string_view::npos) {
    const std::string_view rest = line.substr(comma + 1);
    if (numberText == "0") {
      const std::size_t dash = rest.find('-');
      if (dash != std::string_view::npos) {
        numberText = trimSpaces(rest.substr(0, dash));
        title = trimSpaces(rest.substr(dash + 1));
      }
    } else {
      title = trimSpaces(rest);
    }
  }
  channel.title = std::string(title);
  channel.number = channelNumber(numberText);
}

bool inGroup(std::string_view groups, std::string_view name) {
  for (const std::string& piece : common::split(groups, ',')) {
    if (piece == name) return true;
  }
  return false;
}

// Builds the list from the playlist's lines, one pending channel at a time.
class PlaylistReader {
 public:
  PlaylistReader(ChannelList& list, const common::LineWriter& writeLine)
      : list_(list), writeLine_(writeLine) {}

  // False once the line shows that this is not a playlist.
  bool line(std::size_t lineNumber, std::string_view text) {
    if (lineNumber == 1) return common::contains(text, "#EXTM3U");
    if (text.empty()) return true;
    if (text.starts_with("#EXTINF")) {
      applyExtInf(text, pending_);
    } else if (text.starts_with("#EXTTV")) {
      extTv(text);
    } else if (text.starts_with(kUdpScheme)) {
      udp(lineNumber, text);
    }
    return true;
  }

 private:
  static Channel freshChannel() {
    Channel channel;
    channel.number = kUnnumbered;  // until an #EXTINF line gives one
    return channel;
  }

  // "#EXTTV:<group>,<group>...;<further fields>"
  void extTv(std::string_view text) {
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos) return;
    std::string_view groups = text.substr(colon + 1);
    groups = groups.substr(0, groups.find(';'));
    pending_.groups = std::string(groups);
    for (std::string& piece : common::split(groups, ',')) {
      auto& names = list_.groupNames;
      if (std::find(names.begin(), names.end(), piece) == names.end()) {
        names.push_back(std::move(piece));
      }
    }
  }

  // "udp://[source@]address:port" completes the pending channel.
  void udp(std::size_t lineNumber, std::string_view text) {
    Channel channel = std::exchange(pending_, freshChannel());

    const std::size_t at = text.find('@');
    const std::size_t start = at == std::string_view::npos ? kUdpScheme.size() : at + 1;
    const std::size_t colon = text.find(':', start);
    const std::string_view address = text.substr(start, colon - start);
    if (address.empty()) return;
    if (colon == std::string_view::npos ||
        !common::tryParseNumber(after(text, colon), channel.port)) {
      if (writeLine_) {
        writeLine_("Playlist line " + std::to_string(lineNumber) +
                   ": port does not convert, channel dropped.");
      }
      return;
    }
    channel.address = std::string(address);
    list_.channels.push_back(std::move(channel));
  }

  ChannelList& list_;
  const common::LineWriter& writeLine_;
  Channel pending_ = freshChannel();
};

// Sorts the channels and lays out the group lists and the flat item list.
void arrange(ChannelList& list) {
  std::stable_sort(list.channels.begin(), list.channels.end(),
                   [](const Channel& a, const Channel& b) { return a.number < b.number; });

  list.groupEntries.assign(list.groupNames.size(), {});
  list.groupEntries[0] = list.channels;
  for (std::size_t i = 1; i < list.groupNames.size(); ++i) {
    for (const Channel& channel : list.channels) {
      if (!inGroup(channel.groups, list.groupNames[i])) continue;
      list.groupEntries[i].push_back(channel);
      list.groupEntries[i].back().groupIndex = std::int32_t(i);
    }
  }

  std::uint32_t nextId = 1;
  for (std::vector<Channel>& group : list.groupEntries) {
    for (Channel& entry : group) {
      entry.id = nextId++;
      list.entries.push_back(entry);
    }
  }
}

}  // namespace

void ChannelList::load(const std::string& path, const common::LineWriter& writeLine) {
  // The stream's own read catches what the file buffer throws (a directory
  // fails only on reading) and turns it into badbit.
  std::string bytes;
  std::ifstream file(path, std::ios::binary);
  char chunk[16 * 1024];
  while (file.read(chunk, sizeof chunk) || file.gcount() > 0) {
    bytes.append(chunk, std::size_t(file.gcount()));
  }
  if (file.bad()) bytes.clear();
  loadText(bytes, writeLine);
}

void ChannelList::loadText(std::string_view text, const common::LineWriter& writeLine) {
  channels.clear();
  groupNames.assign(1, std::string(kAllGroup));
  groupEntries.clear();
  entries.clear();

  PlaylistReader reader(*this, writeLine);
  std::size_t lineNumber = 0;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    std::size_t next = end == std::string_view::npos ? text.size() : end + 1;
    if (end == std::string_view::npos) {
      end = text.size();
    } else if (end > start && text[end - 1] == '\r') {
      --end;
    }
    if (!reader.line(++lineNumber, text.substr(start, end - start))) break;
    start = next;
  }
  arrange(*this);
}

}  // namespace relay
