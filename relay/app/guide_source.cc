#include "relay/app/guide_source.h"

#include <stdlib.h>
#include <unistd.h>

#include <sys/socket.h>

#include <cstdio>
#include <optional>
#include <thread>

#include "platform/thread.h"
#include "platform/unique_fd.h"

namespace relay {
namespace {

std::shared_ptr<const GuideDocument> served(GuideLoad& load, std::int64_t now,
                                            const common::LineWriter& writeLine) {
  writeLine("Guide loaded: " + std::to_string(load.guide->channelCount) + " channels, " +
            std::to_string(load.guide->programmeCount) + " programmes.");
  return makeGuideDocument(std::move(*load.guide), now);
}

// A private temporary file.
std::string temporaryPath() {
  const char* root = std::getenv("TMPDIR");
  std::string path =
      std::string(root != nullptr && *root != '\0' ? root : "/tmp") + "/tessaran-guide-XXXXXX";
  const int fd = ::mkstemp(path.data());
  if (fd < 0) return {};
  ::close(fd);
  return path;
}

// The guide from its file, or from its URL (and into the cache once it has
// loaded); nothing, and why, when it does not load.
std::shared_ptr<const GuideDocument> tryLoad(const GuideSource& source,
                                             const std::vector<GuideChannelKey>& keys,
                                             std::int64_t now, const platform::Event* stop,
                                             std::string& reason,
                                             const common::LineWriter& writeLine) {
  if (!isUrl(source.source)) {
    GuideLoad load = loadGuide(source.source, keys, now, stop);
    if (load.guide) return served(load, now, writeLine);
    reason = load.error;
    return nullptr;
  }
  // The guide is read as it arrives, while the fetch writes the copy the
  // cache keeps: a load takes about as long as the fetch or the reading,
  // whichever is longer, not both. The copy goes on disk only if the guide
  // loads, after it is served.
  const bool keep = !source.cacheDir.empty();
  const std::string staging =
      keep ? cachePathFor(source.cacheDir, CachedKind::Guide) + ".fetched" : std::string();
  int ends[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
    reason = "no socket for the fetch";
    return nullptr;
  }
  platform::UniqueFd fetchEnd(ends[1]);
  FetchResult fetched;
  std::thread fetcher;
  if (platform::startJoinable(fetcher, [&] {
        fetched =
            keep ? fetchToFile(source.source, staging, source.limits, stop, false, fetchEnd.get())
                 : fetchToReader(source.source, source.limits, stop, fetchEnd.get());
        fetchEnd.reset();  // the end of the content for the reader
      }) != 0) {
    ::close(ends[0]);
    reason = "no thread for the fetch";
    return nullptr;
  }
  // The reader's end closes when the load ends, which ends a fetch that
  // would go on for nothing.
  GuideLoad load = loadGuide(ends[0], source.source, keys, now, stop);
  fetcher.join();
  reason = fetched.ok() || fetched.error == kReaderGone ? load.error : fetched.error;
  std::shared_ptr<const GuideDocument> guide;
  if (fetched.ok() && load.guide) guide = served(load, now, writeLine);
  // Only a guide that loaded replaces the last good copy.
  if (keep && (!guide ||
               !moveIntoPlace(staging, cachePathFor(source.cacheDir, CachedKind::Guide)).empty())) {
    std::remove(staging.c_str());
  }
  return guide;
}

}  // namespace

std::shared_ptr<const GuideDocument> loadGuideSource(const GuideSource& source,
                                                     const std::vector<GuideChannelKey>& keys,
                                                     std::int64_t now, const platform::Event* stop,
                                                     const common::LineWriter& writeLine) {
  writeLine("Loading guide.");
  std::string reason;
  if (auto guide = tryLoad(source, keys, now, stop, reason, writeLine)) return guide;
  if (!isUrl(source.source)) {
    writeLine("Guide load failed: " + reason);
    return nullptr;
  }
  const std::string failed = "Guide fetch failed: " + reason + " (" + source.source + ")";
  if (!source.cacheDir.empty()) {
    const std::string cached = cachePathFor(source.cacheDir, CachedKind::Guide);
    if (const std::optional<std::time_t> written = cachedCopyTime(cached)) {
      GuideLoad load = loadGuide(cached, keys, now, stop);
      if (load.guide) {
        writeLine(failed + ", using the cached copy from " + cachedCopyTimeText(*written));
        return served(load, now, writeLine);
      }
    }
  }
  writeLine(failed + ", starting without a guide");
  return nullptr;
}

namespace {

// The last good guide reduced again to a changed channel list: from the
// cached copy of the whole guide when there is one, else from what is
// served now (whose channels are those of the old list).
std::shared_ptr<const GuideDocument> reducedAgain(const GuideSource& source,
                                                  const GuideDocument& current,
                                                  const std::vector<GuideChannelKey>& keys,
                                                  std::int64_t now, const platform::Event* stop) {
  std::string path;
  bool temporary = false;
  if (!source.cacheDir.empty() && isUrl(source.source)) {
    path = cachePathFor(source.cacheDir, CachedKind::Guide);
    if (!cachedCopyTime(path)) path.clear();
  }
  if (path.empty()) {
    path = temporaryPath();
    if (path.empty() || !writeFileReplacing(path, current.xml).empty()) {
      if (!path.empty()) std::remove(path.c_str());
      return nullptr;
    }
    temporary = true;
  }
  GuideLoad load = loadGuide(path, keys, now, stop);
  if (temporary) std::remove(path.c_str());
  if (!load.guide) return nullptr;
  return makeGuideDocument(std::move(*load.guide), now);
}

}  // namespace

std::shared_ptr<const GuideDocument> reloadGuideSource(
    const GuideSource& source, const std::vector<GuideChannelKey>& keys, std::int64_t now,
    const platform::Event* stop, std::shared_ptr<const GuideDocument> current, bool channelsChanged,
    const common::LineWriter& writeLine) {
  writeLine("Loading guide.");
  // Each guide served is newer than the one before by a second at least:
  // an app asking If-Modified-Since with the old one's date gets the new.
  if (current && now <= current->loadedAt) now = current->loadedAt + 1;
  std::string reason;
  if (auto guide = tryLoad(source, keys, now, stop, reason, writeLine)) return guide;
  writeLine("Guide reload failed: " + reason +
            (current ? ", keeping the last guide." : ", still without a guide."));
  if (current && channelsChanged) {
    if (auto again = reducedAgain(source, *current, keys, now, stop)) return again;
  }
  return current;
}

}  // namespace relay
