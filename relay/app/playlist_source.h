// The playlist named by a URL: fetched at start, kept in the --cache folder
// when good, and taken from there when the URL cannot be fetched.
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

}  // namespace relay
