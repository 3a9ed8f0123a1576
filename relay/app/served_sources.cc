#include "relay/app/served_sources.h"

#include <vector>

#include "platform/clock.h"
#include "platform/console.h"
#include "platform/thread.h"
#include "platform/wait.h"
#include "relay/app/guide_source.h"
#include "relay/app/playlist_source.h"
#include "relay/app/source_fetch.h"

namespace relay {
namespace {

std::shared_ptr<ChannelList> emptyList(const SourceSettings& settings) {
  auto list = std::make_shared<ChannelList>();
  if (!settings.protocolInfo.empty()) list->protocolInfo = settings.protocolInfo;
  return list;
}

// --epg, else the guide the playlist's header names: only a URL, since a
// playlist from elsewhere must not make the relay read local files.
std::string guideSourceOf(const SourceSettings& settings, const ChannelList* channels) {
  if (!settings.guide.empty()) return settings.guide;
  if (channels != nullptr && isUrl(channels->guideUrl)) return channels->guideUrl;
  return {};
}

// One key per channel, in the playlist's order.
std::vector<GuideChannelKey> guideKeys(const ChannelList* channels) {
  std::vector<GuideChannelKey> keys;
  if (channels == nullptr) return keys;
  keys.reserve(channels->channels.size());
  for (const Channel& channel : channels->channels) {
    keys.push_back({channel.tvgId, channel.tvgName, channel.title});
  }
  return keys;
}

bool sameChannels(const ChannelList& a, const ChannelList& b) {
  return a.entries == b.entries && a.groupNames == b.groupNames && a.guideUrl == b.guideUrl;
}

GuideSource guideSource(const SourceSettings& settings, std::string source) {
  return {std::move(source), settings.cacheDir, guideFetchLimits(settings.maxFetchMb)};
}

// Browse over the channels, each item with the programme on air when it
// is browsed.
void addControl(const SourceSettings& settings, ServedSources& sources) {
  if (!sources.channels) return;
  std::function<std::string(const Channel&)> describe;
  if (sources.guide) {
    describe = [guide = sources.guide](const Channel& channel) {
      return onAirText(guide->programmes.nowAndNext(channel.listIndex, platform::unixSeconds()));
    };
  }
  sources.control = std::make_shared<const ControlHandler>(sources.channels.get(), settings.host,
                                                           settings.port, sources.systemUpdateId,
                                                           std::move(describe), settings.token);
}

bool stopped(platform::Event* stop) {
  return stop != nullptr && stop->tryConsume();
}

}  // namespace

std::shared_ptr<const ServedSources> SourceSlot::get() const {
  std::lock_guard guard(lock_);
  return current_;
}

void SourceSlot::set(std::shared_ptr<const ServedSources> sources) {
  std::lock_guard guard(lock_);
  current_ = std::move(sources);
}

std::shared_ptr<const ServedSources> loadSources(const SourceSettings& settings,
                                                 const platform::Event* stop,
                                                 const common::LineWriter& writeLine) {
  auto out = std::make_shared<ServedSources>();
  if (!settings.playlist.empty()) {
    writeLine("Loading playlist.");
    std::shared_ptr<ChannelList> list = emptyList(settings);
    if (isUrl(settings.playlist)) {
      loadPlaylistFromUrl(
          {settings.playlist, settings.cacheDir, playlistFetchLimits(settings.maxFetchMb)}, *list,
          stop, writeLine);
    } else {
      list->load(settings.playlist, writeLine);
    }
    out->channels = std::move(list);
  }
  if (const std::string source = guideSourceOf(settings, out->channels.get()); !source.empty()) {
    out->guide = loadGuideSource(guideSource(settings, source), guideKeys(out->channels.get()),
                                 platform::unixSeconds(), stop, writeLine);
  }
  addControl(settings, *out);
  return out;
}

std::shared_ptr<const ServedSources> reloadSources(const SourceSettings& settings,
                                                   const ServedSources& current,
                                                   platform::Event* stop,
                                                   const common::LineWriter& writeLine) {
  auto out = std::make_shared<ServedSources>(current);
  if (!settings.playlist.empty()) {
    writeLine("Reloading playlist.");
    std::shared_ptr<ChannelList> list = emptyList(settings);
    const std::string failed = fetchPlaylist(
        {settings.playlist, settings.cacheDir, playlistFetchLimits(settings.maxFetchMb)}, *list,
        stop, writeLine);
    if (stopped(stop)) return out;
    if (failed.empty()) {
      writeLine("Playlist reloaded: " + std::to_string(list->channels.size()) + " channels.");
      // The same channels keep their list, and the answers built from it.
      if (!current.channels || !sameChannels(*list, *current.channels)) {
        out->channels = std::move(list);
        ++out->systemUpdateId;
      }
    } else {
      const std::size_t kept = current.channels ? current.channels->channels.size() : 0;
      writeLine("Playlist reload failed: " + failed + ", keeping " + std::to_string(kept) +
                " channels.");
    }
  }
  if (stopped(stop)) return out;
  if (const std::string source = guideSourceOf(settings, out->channels.get()); !source.empty()) {
    out->guide = reloadGuideSource(guideSource(settings, source), guideKeys(out->channels.get()),
                                   platform::unixSeconds(), stop, current.guide,
                                   out->channels != current.channels, writeLine);
  } else {
    out->guide = nullptr;
  }
  addControl(settings, *out);
  return out;
}

bool sourcesMissing(const SourceSettings& settings, const ServedSources& sources) {
  // A file is read again on a reload only: it does not come back by itself.
  if (isUrl(settings.playlist) && (!sources.channels || sources.channels->channels.empty())) {
    return true;
  }
  return isUrl(guideSourceOf(settings, sources.channels.get())) && !sources.guide;
}

SourceReloader::SourceReloader(
    SourceSettings settings, std::shared_ptr<SourceSlot> slot, Timing timing,
    platform::Event* request,
    std::function<void(const ServedSources&, platform::Event& stop)> changed)
    : settings_(std::move(settings)),
      slot_(std::move(slot)),
      timing_(timing),
      request_(request),
      changed_(std::move(changed)) {}

SourceReloader::~SourceReloader() {
  stop();
}

void SourceReloader::start() {
  if (const int error = platform::startJoinable(thread_, [this] { run(); }); error != 0) {
    platform::writeLine("CreateThread() failed with error " + std::to_string(error));
  }
}

void SourceReloader::stop() {
  stop_.set();
  if (thread_.joinable()) thread_.join();
}

void SourceReloader::run() {
  std::vector<platform::WaitItem> items{platform::WaitItem::event(stop_)};
  if (request_ != nullptr) items.push_back(platform::WaitItem::event(*request_));
  for (;;) {
    const std::shared_ptr<const ServedSources> current = slot_->get();
    std::int64_t waitMs = timing_.refreshMs > 0 ? timing_.refreshMs : -1;
    if (sourcesMissing(settings_, *current)) waitMs = timing_.retryMs;
    const platform::WaitResult woken = platform::waitAny(items, int(waitMs));
    if (woken.status == platform::WaitStatus::Failed) return;
    if (woken.status == platform::WaitStatus::Signalled && woken.index == 0) return;

    std::shared_ptr<const ServedSources> next =
        reloadSources(settings_, *current, &stop_, platform::writeUntrustedLine);
    if (stop_.tryConsume()) return;
    slot_->set(next);
    if (next->systemUpdateId != current->systemUpdateId && changed_) changed_(*next, stop_);
  }
}

}  // namespace relay
