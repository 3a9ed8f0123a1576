#include "relay/upnp/channel_list.h"

#include <algorithm>
#include <fstream>
#include <optional>
#include <utility>

#include "common/parse_number.h"
#include "common/text.h"
#include "common/utf8.h"

namespace relay {
namespace {

constexpr std::string_view kAllGroup = "All";
// Both complete a channel the same way: the relay joins the group and the
// stream sender strips RTP when it finds it.
constexpr std::string_view kStreamSchemes[] = {"udp://", "rtp://"};

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

// The comma that ends an #EXTINF line's duration and attributes: the first
// one from `from` on that is not inside a quoted attribute value
// (name="..."). When such a value never closes, simply the first comma.
std::size_t attributesEnd(std::string_view line, std::size_t from) {
  for (std::size_t i = from; i < line.size(); ++i) {
    if (line[i] == ',') return i;
    if (line[i] == '"' && i > from && line[i - 1] == '=') {
      const std::size_t close = line.find('"', i + 1);
      if (close == std::string_view::npos) return line.find(',', from);
      i = close;
    }
  }
  return std::string_view::npos;
}

// The value of `name="value"` (or `name=value`, up to a space) among an
// #EXTINF line's attributes; empty when the attribute is missing.
std::string_view attribute(std::string_view attributes, std::string_view name) {
  std::size_t pos = 0;
  std::size_t equals = 0;
  while ((equals = attributes.find('=', pos)) != std::string_view::npos) {
    const std::size_t space = attributes.rfind(' ', equals);
    const std::size_t nameStart = std::max(pos, space == std::string_view::npos ? 0 : space + 1);
    const std::string_view key = attributes.substr(nameStart, equals - nameStart);
    std::string_view value;
    if (equals + 1 < attributes.size() && attributes[equals + 1] == '"') {
      const std::size_t close = attributes.find('"', equals + 2);
      value = attributes.substr(equals + 2, close - (equals + 2));
      pos = close == std::string_view::npos ? attributes.size() : close + 1;
    } else {
      const std::size_t end = attributes.find(' ', equals + 1);
      value = attributes.substr(equals + 1, end - (equals + 1));
      pos = end == std::string_view::npos ? attributes.size() : end;
    }
    if (common::equalsIgnoreCaseAscii(key, name)) return value;
  }
  return {};
}

// What an #EXTINF line says, as the file's bytes.
struct ExtInf {
  std::uint32_t number = kUnnumbered;
  std::string_view title;
  std::string_view logo;
  std::string_view groupTitle;
  std::string_view tvgId;
  std::string_view tvgName;
  std::string_view tvgChno;
};

// "#EXTINF:<duration> <attributes>,<title>". A duration of exactly "0" (no
// attributes) means the title carries the channel number in front:
// "<number> - <title>". Any other duration is the number as far as it
// converts, so the usual "-1" wraps round and sorts such channels last.
std::optional<ExtInf> readExtInf(std::string_view line) {
  const std::size_t colon = line.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  const std::size_t comma = attributesEnd(line, colon + 1);
  const std::string_view head = line.substr(colon + 1, comma - (colon + 1));
  std::string_view numberText = trimSpaces(head);
  ExtInf info;
  if (comma != std::string_view::npos) {
    const std::string_view rest = line.substr(comma + 1);
    if (numberText == "0") {
      const std::size_t dash = rest.find('-');
      if (dash != std::string_view::npos) {
        numberText = trimSpaces(rest.substr(0, dash));
        info.title = trimSpaces(rest.substr(dash + 1));
      }
    } else {
      info.title = trimSpaces(rest);
    }
  }
  info.number = channelNumber(numberText);
  info.logo = attribute(head, "tvg-logo");
  info.groupTitle = attribute(head, "group-title");
  info.tvgId = attribute(head, "tvg-id");
  info.tvgName = attribute(head, "tvg-name");
  info.tvgChno = attribute(head, "tvg-chno");
  return info;
}

bool inGroup(const Channel& channel, std::string_view name) {
  for (const std::string& piece : common::split(channel.groups, channel.groupSeparator)) {
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
    lineNumber_ = lineNumber;
    if (lineNumber == 1) {
      const std::size_t header = text.find("#EXTM3U");
      if (header == std::string_view::npos) return false;
      readHeader(text.substr(header + 7));
      return true;
    }
    if (text.empty()) return true;
    if (text.starts_with("#EXTINF")) {
      extInf(text);
    } else if (text.starts_with("#EXTTV")) {
      extTv(text);
    } else {
      for (const std::string_view scheme : kStreamSchemes) {
        if (!text.starts_with(scheme)) continue;
        streamUrl(text, scheme);
        break;
      }
    }
    return true;
  }

 private:
  // "#EXTM3U x-tvg-url="a.xml.gz,b.xml.gz"": lists are written with commas
  // or spaces between the addresses.
  void readHeader(std::string_view attributes) {
    std::string_view url = attribute(attributes, "x-tvg-url");
    if (url.empty()) url = attribute(attributes, "url-tvg");
    url = url.substr(0, url.find_first_of(", "));
    list_.guideUrl = common::cleanUtf8(url);
  }

  static Channel freshChannel() {
    Channel channel;
    channel.number = kUnnumbered;  // until an #EXTINF line gives one
    return channel;
  }

  // Playlist text as the ContentDirectory's XML can carry it. Reported once
  // per load, at the first line that needed it.
  std::string clean(std::string_view text) {
    std::string cleaned = common::cleanUtf8(text);
    if (cleaned != text && !reportedUnclean_) {
      reportedUnclean_ = true;
      if (writeLine_) {
        writeLine_("Playlist line " + std::to_string(lineNumber_) +
                   ": invalid UTF-8 or control characters, text cleaned (first such line).");
      }
    }
    return cleaned;
  }

  void registerGroups(std::string_view groups, char separator) {
    for (std::string& piece : common::split(groups, separator)) {
      auto& names = list_.groupNames;
      if (std::find(names.begin(), names.end(), piece) == names.end()) {
        names.push_back(std::move(piece));
      }
    }
  }

  // A later #EXTINF replaces what an earlier one said; its group-title gives
  // the groups only while no #EXTTV line has.
  void extInf(std::string_view text) {
    const std::optional<ExtInf> info = readExtInf(text);
    if (!info) return;
    pending_.number = info->number;
    pending_.title = clean(info->title);
    pending_.logo = clean(info->logo);
    pending_.tvgId = clean(info->tvgId);
    pending_.tvgName = clean(info->tvgName);
    pending_.tvgChno = clean(info->tvgChno);
    if (!pendingHasExtTv_) {
      pending_.groups = clean(info->groupTitle);
      pending_.groupSeparator = ';';
    }
  }

  // "#EXTTV:<group>,<group>...;<further fields>"
  void extTv(std::string_view text) {
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos) return;
    std::string_view groups = text.substr(colon + 1);
    groups = groups.substr(0, groups.find(';'));
    pending_.groups = clean(groups);
    pending_.groupSeparator = ',';
    pendingHasExtTv_ = true;
    registerGroups(pending_.groups, ',');
  }

  // "udp://[source@]address:port" (or rtp://) completes the pending channel.
  // With a source the relay receives that sender's datagrams alone; "@"
  // with nothing before it names any sender, as no "@" does.
  void streamUrl(std::string_view text, std::string_view scheme) {
    Channel channel = std::exchange(pending_, freshChannel());
    pendingHasExtTv_ = false;

    const std::size_t at = text.find('@');
    const std::size_t start = at == std::string_view::npos ? scheme.size() : at + 1;
    if (at != std::string_view::npos) {
      channel.source = clean(text.substr(scheme.size(), at - scheme.size()));
    }
    const std::size_t colon = text.find(':', start);
    const std::string address = clean(text.substr(start, colon - start));
    if (address.empty()) return;
    if (colon == std::string_view::npos ||
        !common::tryParseNumber(after(text, colon), channel.port)) {
      if (writeLine_) {
        writeLine_("Playlist line " + std::to_string(lineNumber_) +
                   ": port does not convert, channel dropped.");
      }
      return;
    }
    channel.address = address;
    // A group-title names groups only for channels that load.
    if (channel.groupSeparator == ';') registerGroups(channel.groups, ';');
    list_.channels.push_back(std::move(channel));
  }

  ChannelList& list_;
  const common::LineWriter& writeLine_;
  Channel pending_ = freshChannel();
  bool pendingHasExtTv_ = false;
  std::size_t lineNumber_ = 0;
  bool reportedUnclean_ = false;
};

// Sorts the channels and lays out the group lists and the flat item list.
void arrange(ChannelList& list) {
  std::stable_sort(list.channels.begin(), list.channels.end(),
                   [](const Channel& a, const Channel& b) { return a.number < b.number; });
  for (std::size_t i = 0; i < list.channels.size(); ++i) {
    list.channels[i].listIndex = std::uint32_t(i);
  }

  list.groupEntries.assign(list.groupNames.size(), {});
  list.groupEntries[0] = list.channels;
  for (std::size_t i = 1; i < list.groupNames.size(); ++i) {
    for (const Channel& channel : list.channels) {
      if (!inGroup(channel, list.groupNames[i])) continue;
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
  guideUrl.clear();

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
