#include "relay/app/playlist_source.h"

namespace relay {

std::string fetchPlaylist(const PlaylistSource& source, ChannelList& list,
                          const platform::Event* stop, const common::LineWriter& writeLine) {
  const FetchResult fetched = fetchToMemory(source.url, source.limits, stop);
  if (!fetched.ok()) return fetched.error;
  list.loadText(fetched.body, writeLine);
  if (list.channels.empty()) return "no channels";
  if (!source.cacheDir.empty() && isUrl(source.url)) {
    const std::string path = cachePathFor(source.cacheDir, CachedKind::Playlist);
    if (std::string failed = writeFileReplacing(path, fetched.body); !failed.empty()) {
      writeLine("Playlist cache not written: " + failed);
    }
  }
  return {};
}

PlaylistLoad loadPlaylistFromUrl(const PlaylistSource& source, ChannelList& list,
                                 const platform::Event* stop, const common::LineWriter& writeLine) {
  const std::string reason = fetchPlaylist(source, list, stop, writeLine);
  if (reason.empty()) return PlaylistLoad::Fetched;

  const std::string failed = "Playlist fetch failed: " + reason + " (" + source.url + ")";
  if (!source.cacheDir.empty()) {
    const std::string path = cachePathFor(source.cacheDir, CachedKind::Playlist);
    const FetchResult cached = fetchToMemory(path, source.limits, stop);
    if (cached.ok()) {
      const std::optional<std::time_t> written = cachedCopyTime(path);
      writeLine(failed + ", using the cached copy from " +
                (written ? cachedCopyTimeText(*written) : std::string("an unknown time")));
      list.loadText(cached.body, writeLine);
      return PlaylistLoad::FromCache;
    }
  }
  writeLine(failed + ", starting with no channels");
  list.loadText({}, {});
  return PlaylistLoad::Empty;
}

}  // namespace relay
