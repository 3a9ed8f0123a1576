// What the relay serves from its playlist and guide: loaded at start, and
// again on SIGHUP and every --refresh minutes. A reload builds a whole new
// set and swaps it in at once: each request takes the set current when it
// arrives and holds it to its end, and running streams never depend on it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "common/line_writer.h"
#include "platform/event.h"
#include "relay/app/relay_framing.h"
#include "relay/upnp/channel_list.h"
#include "relay/upnp/control_handler.h"

namespace relay {

struct ServedSources {
  std::shared_ptr<const ChannelList> channels;    // null: no media server
  std::shared_ptr<const ControlHandler> control;  // Browse over `channels`; null with them
  std::shared_ptr<const GuideDocument> guide;     // null: no guide
  // Raised by each reload that changes the channels, so that TVs browse again.
  std::uint32_t systemUpdateId = 0;
};

// The set served now; safe to use from any thread.
class SourceSlot {
 public:
  std::shared_ptr<const ServedSources> get() const;
  void set(std::shared_ptr<const ServedSources> sources);

 private:
  mutable std::mutex lock_;
  std::shared_ptr<const ServedSources> current_ = std::make_shared<const ServedSources>();
};

struct SourceSettings {
  std::string playlist;      // -p: a path or an http(s) URL; empty: no media server
  std::string protocolInfo;  // --playlist-protocol-info; empty: the default
  std::string guide;         // --epg; empty: the URL the playlist's header names
  std::string cacheDir;      // --cache; empty: none
  std::optional<std::uint32_t> maxFetchMb;
  std::string host;  // -li as typed, for Browse's URLs
  std::uint16_t port = 0;
  std::string token;  // --token, which Browse's URLs carry; empty: none
};

// At start: the playlist as the relay has always read a file, or a URL with
// the cache to fall back on; then the guide. Writes each one's lines.
std::shared_ptr<const ServedSources> loadSources(const SourceSettings& settings,
                                                 const platform::Event* stop,
                                                 const common::LineWriter& writeLine);

// A reload over `current`: a playlist or guide that fails keeps what
// `current` has, with one line saying why; the update ID rises when the
// channels changed.
std::shared_ptr<const ServedSources> reloadSources(const SourceSettings& settings,
                                                   const ServedSources& current,
                                                   platform::Event* stop,
                                                   const common::LineWriter& writeLine);

// Whether what the settings name is missing from `sources` (a playlist with
// no channels, a guide named but not loaded): worth trying again soon.
bool sourcesMissing(const SourceSettings& settings, const ServedSources& sources);

// The thread that reloads: on `request` (SIGHUP), every `refreshMs` (0:
// never), and every `retryMs` while something is missing. `changed` gets
// each new set whose channels changed, after it is served.
class SourceReloader {
 public:
  struct Timing {
    std::int64_t refreshMs = 0;
    std::int64_t retryMs = 60000;
  };
  SourceReloader(SourceSettings settings, std::shared_ptr<SourceSlot> slot, Timing timing,
                 platform::Event* request,
                 std::function<void(const ServedSources&, platform::Event& stop)> changed);
  ~SourceReloader();

  void start();
  // Ends a fetch under way within a second, and joins the thread.
  void stop();

 private:
  void run();

  SourceSettings settings_;
  std::shared_ptr<SourceSlot> slot_;
  Timing timing_;
  platform::Event* request_;
  std::function<void(const ServedSources&, platform::Event&)> changed_;
  platform::Event stop_{platform::Event::Reset::Manual};
  std::thread thread_;
};

}  // namespace relay
