// The guide named by --epg: a file, or a URL fetched at start and on every
// reload, kept in the --cache folder once it has loaded, and taken from
// there when the URL cannot be fetched at start or what it gives does not
// load.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/line_writer.h"
#include "platform/event.h"
#include "relay/app/relay_framing.h"
#include "relay/app/source_fetch.h"
#include "relay/upnp/guide.h"

namespace relay {

struct GuideSource {
  std::string source;    // a path, or an http:// or https:// URL
  std::string cacheDir;  // empty: no cache
  FetchLimits limits;
};

// The guide reduced to the channels `keys` name, ready to serve, or nothing
// when there is none to be had. Writes "Loading guide.", then one line: what
// was loaded, or why nothing was and what the relay starts with.
std::shared_ptr<const GuideDocument> loadGuideSource(const GuideSource& source,
                                                     const std::vector<GuideChannelKey>& keys,
                                                     std::int64_t now, const platform::Event* stop,
                                                     const common::LineWriter& writeLine);

// A reload: the same without falling back on the cache, and `current`
// kept when the guide does not load, with one line saying why; when the
// channels changed, the last good guide reduced again to them. A new guide
// is always dated after `current`.
std::shared_ptr<const GuideDocument> reloadGuideSource(
    const GuideSource& source, const std::vector<GuideChannelKey>& keys, std::int64_t now,
    const platform::Event* stop, std::shared_ptr<const GuideDocument> current, bool channelsChanged,
    const common::LineWriter& writeLine);

}  // namespace relay
