#include "relay/upnp/playlist_export.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "engine/compression.h"
#include "platform/socket.h"

namespace relay {
namespace {

// The stream URLs the relay routes (resolveUrl).
constexpr std::string_view kStreamPrefix = "/vkx/";

// ` name="value"`, nothing for an empty value.
void appendAttribute(std::string& out, std::string_view name, std::string_view value) {
  if (value.empty()) return;
  out += ' ';
  out += name;
  out += "=\"";
  for (const char c : value) {
    if (c != '"') out += c;
  }
  out += '"';
}

}  // namespace

std::string groupText(const std::string& address) {
  const platform::Ipv4 group = platform::parseIpv4(address);
  const std::uint32_t firstOctet = ntohl(group) >> 24;
  if (group == platform::Ipv4(INADDR_NONE) || firstOctet < 224 || firstOctet > 239) return {};
  return platform::ipv4Text(group);
}

platform::Ipv4 parseSource(std::string_view text) {
  in_addr address{};
  if (::inet_pton(AF_INET, std::string(text).c_str(), &address) != 1) return 0;
  const std::uint32_t firstOctet = ntohl(address.s_addr) >> 24;
  if (firstOctet == 0 || firstOctet >= 224) return 0;
  return address.s_addr;
}

std::string streamAddressText(const Channel& channel) {
  std::string group = groupText(channel.address);
  if (channel.source.empty() || group.empty()) return group;
  const platform::Ipv4 source = parseSource(channel.source);
  if (source == 0) return {};
  return platform::ipv4Text(source) + "@" + group;
}

std::string tokenQuery(std::string_view token, char separator) {
  if (token.empty()) return {};
  std::string out(1, separator);
  out += "token=";
  out += token;
  return out;
}

std::string exportPlaylist(const PlaylistExport& input) {
  const std::string query = tokenQuery(input.token);
  std::string out = "#EXTM3U";
  if (input.guideLoaded) {
    out += " x-tvg-url=\"http://";
    out += input.host;
    out += "/epg.xml.gz";
    out += query;
    out += '"';
  }
  out += '\n';
  if (input.channels == nullptr) return out;

  // The "All" container lists every channel in this order.
  const std::vector<Channel>& channels = input.channels->channels;
  out.reserve(out.size() + channels.size() * 160);
  std::string groupTitle;
  for (const Channel& channel : channels) {
    const std::string address = streamAddressText(channel);
    if (address.empty()) continue;
    out += "#EXTINF:-1";
    appendAttribute(out, "tvg-id", channel.tvgId);
    appendAttribute(out, "tvg-name", channel.tvgName);
    appendAttribute(out, "tvg-logo", channel.logo);
    // #EXTTV lists its groups with commas; a group-title separates them
    // with semicolons, as the loader reads it.
    groupTitle = channel.groups;
    if (channel.groupSeparator != ';') std::replace(groupTitle.begin(), groupTitle.end(), ',', ';');
    appendAttribute(out, "group-title", groupTitle);
    if (!channel.tvgChno.empty()) {
      appendAttribute(out, "tvg-chno", channel.tvgChno);
    } else if (channel.number != kUnnumbered) {
      appendAttribute(out, "tvg-chno", std::to_string(channel.number));
    }
    out += ',';
    out += channel.title;
    out += "\nhttp://";
    out += input.host;
    out += kStreamPrefix;
    out += address;
    out += ':';
    out += std::to_string(channel.port);
    out += query;
    out += '\n';
  }
  return out;
}

std::shared_ptr<const PlaylistAnswer> PlaylistAnswers::get(
    std::shared_ptr<const ChannelList> channels, std::string_view host, bool guideLoaded) {
  // Only the addresses of this host's own cards reach here; the bound is a
  // guard, not a policy.
  constexpr std::size_t kMostHosts = 16;
  std::lock_guard guard(lock_);
  if (channels != channels_ || guideLoaded != guideLoaded_) {
    byHost_.clear();
    channels_ = std::move(channels);
    guideLoaded_ = guideLoaded;
  }
  if (const auto kept = byHost_.find(host); kept != byHost_.end()) return kept->second;
  if (byHost_.size() >= kMostHosts) byHost_.clear();
  auto answer = std::make_shared<PlaylistAnswer>();
  answer->text = exportPlaylist({channels_.get(), host, guideLoaded_, token_});
  answer->gzip = engine::compressBody(true, answer->text, engine::kDocumentLevel, gzipTime_);
  answer->deflate = engine::compressBody(false, answer->text, engine::kDocumentLevel, gzipTime_);
  byHost_.emplace(std::string(host), answer);
  return answer;
}

}  // namespace relay
