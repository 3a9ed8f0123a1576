// Where the relay reads its playlist and guide from: a local path or an
// http:// or https:// URL, fetched with libcurl (redirects followed, the
// system's certificates checked, the gzip coding accepted), whole or into a
// file. Content that is itself gzip (by its first two bytes, whatever its
// name or headers) is decompressed. Every fetch is bounded in time and in
// bytes and ends within a second of its stop; what went wrong comes back as
// one short line for the console.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

#include "platform/event.h"

namespace relay {

// --max-fetch: the playlist's limit is the smaller of this and the given
// value, the guide's is the given value.
inline constexpr std::uint32_t kPlaylistFetchMb = 64;
inline constexpr std::uint32_t kGuideFetchMb = 1024;

struct FetchLimits {
  std::uint64_t maxBytes = std::uint64_t(kPlaylistFetchMb) << 20;  // after decompression
  int totalSeconds = 30;                                           // a URL's whole transfer
  int maxRedirects = 8;
};

FetchLimits playlistFetchLimits(std::optional<std::uint32_t> maxFetchMb);
FetchLimits guideFetchLimits(std::optional<std::uint32_t> maxFetchMb);

struct FetchResult {
  // Empty on success; otherwise one line such as "HTTP 404", "more than 64
  // MB", "timed out", "not found", "truncated gzip" or "stopped".
  std::string error;
  std::string body;        // fetchToMemory: the (decompressed) content
  std::uint64_t size = 0;  // bytes of content delivered
  bool ok() const { return error.empty(); }
};

// Whether `source` names a URL (http:// or https://, any case) rather than
// a path.
bool isUrl(std::string_view source);

// libcurl's global set-up, done once whoever calls first; every fetch calls
// it too. False when libcurl cannot start (each URL fetch then fails).
bool initFetching();

// `stop` may be null. A set stop ends the fetch with "stopped"; an
// auto-reset stop is not consumed.
FetchResult fetchToMemory(const std::string& source, const FetchLimits& limits,
                          const platform::Event* stop);

// Writes the content to a temporary file beside `destinationPath` and
// renames it into place only when the whole content arrived (with `sync`,
// once it is on disk); on any failure the destination is left as it was and
// the temporary file removed. With `readerFd`, a connected stream socket,
// the content also goes there as it arrives (decompressed), so a reader can
// work while the fetch runs; the fetch ends when that reader goes away.
FetchResult fetchToFile(const std::string& source, const std::string& destinationPath,
                        const FetchLimits& limits, const platform::Event* stop, bool sync = true,
                        int readerFd = -1);
// The content to `readerFd` alone.
FetchResult fetchToReader(const std::string& source, const FetchLimits& limits,
                          const platform::Event* stop, int readerFd);
// The error of a fetch whose reader went away: the reader says why.
inline constexpr std::string_view kReaderGone = "the reader stopped";

// Renames `from` over `to` once `from` is on disk. Empty or the reason.
std::string moveIntoPlace(const std::string& from, const std::string& to);

// `content` into `path` the same way: temporary file, then rename. Empty or
// the reason.
std::string writeFileReplacing(const std::string& path, std::string_view content);

// The --cache folder: the last good copy of each source the relay fetched.
enum class CachedKind { Playlist, Guide };

// DIR/playlist.m3u or DIR/guide.xml (the guide stored decompressed).
std::string cachePathFor(const std::string& cacheDir, CachedKind kind);

// When the copy at `path` was written, or nothing when there is none.
std::optional<std::time_t> cachedCopyTime(const std::string& path);

// "2026-12-09 08:30" in local time, for the console.
std::string cachedCopyTimeText(std::time_t time);

}  // namespace relay
