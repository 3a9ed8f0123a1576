// The relay's own playlist: its channels as an M3U of its own stream URLs,
// for IPTV apps and media centers that take a playlist instead of browsing.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

#include "platform/socket.h"
#include "relay/upnp/channel_list.h"

namespace relay {

struct PlaylistExport {
  // Null without a playlist: the answer is the header line alone.
  const ChannelList* channels = nullptr;
  // "address:port" the client reached, for every URL in the text.
  std::string_view host;
  // With a guide the header names it, so that apps fetch it on their own.
  bool guideLoaded = false;
  // --token: every URL written carries it ("?token="); empty: none.
  std::string_view token = {};
};

// "#EXTM3U", then per channel, in the order Browse lists the "All"
// container, an #EXTINF line with the guide attributes the source gave
// (tvg-id, tvg-name, tvg-logo, group-title, tvg-chno; tvg-chno from the
// channel's number when the source gave none) and the channel's stream URL.
// Lines end in "\n" alone: every reader that takes "\r\n" takes it, while a
// reader that splits at "\n" would keep a stray "\r" in each URL.
//
// A value never holds a double quote (it would end the value early in every
// reader): such quotes are left out. Channels the relay cannot stream (see
// streamAddressText) are left out, since the URL would otherwise carry the
// playlist's text as given; the addresses are written in dotted form.
std::string exportPlaylist(const PlaylistExport& input);

// A channel's address as the relay's stream URLs name it (dotted form), or
// empty when it is no IPv4 multicast group: the relay streams nothing else.
std::string groupText(const std::string& address);

// The sender a source-specific stream names: a dotted IPv4 unicast address,
// in network order; 0 for anything else (0.0.0.0 and the rest of 0/8, a
// multicast group, 240/4 with the broadcast address, other text).
platform::Ipv4 parseSource(std::string_view text);

// "group", or "source@group" for a channel with a source, as the relay's
// stream URLs name them (dotted form); empty when the relay cannot stream
// the channel: its address is no multicast group, or its source is given
// but no unicast sender.
std::string streamAddressText(const Channel& channel);

// What a URL the relay hands out ends with so that it carries --token:
// "?token=TOKEN" ('&' in place of '?' after a query); empty without one.
std::string tokenQuery(std::string_view token, char separator = '?');

// One client address's playlist with its gzip and deflate forms.
struct PlaylistAnswer {
  std::string text;
  std::string gzip;
  std::string deflate;
};

// The playlist answers, each built and compressed once per channel list,
// client address and guide state, then served from memory: apps poll the
// playlist, and a large one costs more to build and compress than to send.
class PlaylistAnswers {
 public:
  // `gzipTime` goes into the gzip headers; `token` into every URL.
  explicit PlaylistAnswers(std::uint32_t gzipTime, std::string token = {})
      : gzipTime_(gzipTime), token_(std::move(token)) {}

  // A new list (by identity) or guide state drops every answer kept.
  std::shared_ptr<const PlaylistAnswer> get(std::shared_ptr<const ChannelList> channels,
                                            std::string_view host, bool guideLoaded);

 private:
  std::uint32_t gzipTime_;
  std::string token_;
  std::mutex lock_;
  std::shared_ptr<const ChannelList> channels_;
  bool guideLoaded_ = false;
  // One per address of this host that clients reach: a handful.
  std::map<std::string, std::shared_ptr<const PlaylistAnswer>, std::less<>> byHost_;
};

}  // namespace relay
