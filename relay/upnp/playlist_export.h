// The relay's own playlist: its channels as an M3U of its own stream URLs,
// for IPTV apps and media centers that take a playlist instead of browsing.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "relay/upnp/channel_list.h"

namespace relay {

struct PlaylistExport {
  // Null without a playlist: the answer is the header line alone.
  const ChannelList* channels = nullptr;
  // "address:port" the client reached, for every URL in the text.
  std::string_view host;
  // With a guide the header names it, so that apps fetch it on their own.
  bool guideLoaded = false;
};

// "#EXTM3U", then per channel, in the order Browse lists the "All"
// container, an #EXTINF line with the guide attributes the source gave
// (tvg-id, tvg-name, tvg-logo, group-title, tvg-chno; tvg-chno from the
// channel's number when the source gave none) and the channel's stream URL.
// Lines end in "\n" alone: every reader that takes "\r\n" takes it, while a
// reader that splits at "\n" would keep a stray "\r" in each URL.
//
// A value never holds a double quote (it would end the value early in every
// reader): such quotes are left out. Channels whose address is not an IPv4
// multicast address are left out, since the relay streams nothing else and
// the URL would otherwise carry the playlist's text as given; the address is
// written in dotted form.
std::string exportPlaylist(const PlaylistExport& input);

// A channel's address as the relay's stream URLs name it (dotted form), or
// empty when it is no IPv4 multicast group: the relay streams nothing else.
std::string groupText(const std::string& address);

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
  // `gzipTime` goes into the gzip headers.
  explicit PlaylistAnswers(std::uint32_t gzipTime) : gzipTime_(gzipTime) {}

  // A new list (by identity) or guide state drops every answer kept.
  std::shared_ptr<const PlaylistAnswer> get(std::shared_ptr<const ChannelList> channels,
                                            std::string_view host, bool guideLoaded);

 private:
  std::uint32_t gzipTime_;
  std::mutex lock_;
  std::shared_ptr<const ChannelList> channels_;
  bool guideLoaded_ = false;
  // One per address of this host that clients reach: a handful.
  std::map<std::string, std::shared_ptr<const PlaylistAnswer>, std::less<>> byHost_;
};

}  // namespace relay
