// The playlist named by a URL: fetched at start, kept in the --cache folder
// when good, and taken from there when the URL cannot be fetched; fetched
// (or read from its file) again on a reload.
#pragma once

#include <string>

#include "common/line_writer.h"
#include "platform/event.h"
#include "relay/app/source_fetch.h"
#include "relay/upnp/channel_list.h"

namespace relay {

struct PlaylistSource {
  std::string url;
  std::string cacheDir;  // empty: no cache
  FetchLimits limits;
};

enum class PlaylistLoad {
  Fetched,    // from the URL, and stored in the cache
  FromCache,  // the URL failed; the last good copy
  Empty,      // the URL failed and no copy: no channels until a later fetch succeeds
};

// Loads `list` from the URL, or else from the cache. A fetch counts only
// when the text gives at least one channel; an HTML error page does not.
// Writes one line when the URL fails (why, and what the relay starts with)
// and one when the cache cannot be written.
PlaylistLoad loadPlaylistFromUrl(const PlaylistSource& source, ChannelList& list,
                                 const platform::Event* stop, const common::LineWriter& writeLine);

// Loads `list` from `source.url` (a URL, or a file's path) with nothing to
// fall back on: empty, or why it failed ("HTTP 404", "no channels", ...).
// A URL's good text is kept in the cache.
std::string fetchPlaylist(const PlaylistSource& source, ChannelList& list,
                          const platform::Event* stop, const common::LineWriter& writeLine);

}  // namespace relay
