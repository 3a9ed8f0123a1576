#include "relay/app/relay_entry.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <mutex>

#include "common/version.h"
#include "engine/http_engine.h"
#include "engine/response_writer.h"
#include "platform/clock.h"
#include "platform/event.h"
#include "platform/network_cards.h"
#include "platform/os_token.h"
#include "platform/thread.h"
#include "platform/uuid.h"
#include "relay/app/card_report.h"
#include "relay/app/guide_source.h"
#include "relay/app/playlist_source.h"
#include "relay/app/relay_framing.h"
#include "relay/app/relay_log.h"
#include "relay/app/relay_options.h"
#include "relay/app/served_sources.h"
#include "relay/app/source_fetch.h"
#include "relay/app/status_page.h"
#include "relay/app/url_routing.h"
#include "relay/igmp/igmp_snooper.h"
#include "relay/igmp/membership_refresher.h"
#include "relay/stream/multicast_receiver.h"
#include "relay/stream/stream_client.h"
#include "relay/stream/stream_registry.h"
#include "relay/tuner/discovery_packet.h"
#include "relay/tuner/discovery_responder.h"
#include "relay/tuner/tuner_lineup.h"
#include "relay/upnp/channel_list.h"
#include "relay/upnp/control_handler.h"
#include "relay/upnp/descriptions.h"
#include "relay/upnp/device_uuid.h"
#include "relay/upnp/event_notify.h"
#include "relay/upnp/guide.h"
#include "relay/upnp/playlist_export.h"
#include "relay/upnp/ssdp_advertiser.h"

namespace relay {
namespace {

using platform::writeLine;

constexpr std::string_view kPrompt = "Enter q to exit.";

// q (or a stop signal) ends the run; any other character gets the prompt
// again (the first one is written once the relay has started). Started
// before the sources load, so that a stop ends a fetch under way too. Never
// joined: it may still sit in a read when the process exits, so it shares
// ownership of what it uses.
void consoleThread(std::shared_ptr<platform::Console> console,
                   std::shared_ptr<platform::Event> stopEvent) {
  for (;;) {
    const platform::Console::Input input = console->read();
    if (input.stop || input.character == 'q') {
      stopEvent->set();
      return;
    }
    writeLine(kPrompt);
  }
}

// False (after the refusal messages) when -li or -ri names no local card,
// or -ri no interface (`unknownInterface`: the name).
bool interfacesAccepted(const CardMatch& match, const std::string& unknownInterface) {
  if (match.listenFound && match.receiveFound) return true;
  if (!match.listenFound) {
    writeLine("Can't select listening network interface for http server.");
  }
  if (!match.receiveFound) {
    writeLine("Can't select network interface for multicast video source.");
  }
  if (!unknownInterface.empty()) {
    platform::writeUntrustedLine("No network interface is named " + unknownInterface + ".");
  }
  if (!match.listenFound || unknownInterface.empty()) {
    writeLine("You must provide valid ipv4 addresses !");
  }
  writeLine("");
  return false;
}

constexpr int kStopGraceMs = 1000;
constexpr std::string_view kContentDirectoryEvents = "/upnp/event/cds";

std::shared_ptr<IgmpSnooper> makeSnooper(const RelaySettings& relay, const RelayTuning& tuning) {
  SnooperSettings settings;
  settings.listenAddress = relay.listenAddress;
  settings.forwardPort = relay.forwardPort;
  settings.receiveAddress = relay.receiveAddress;
  settings.receiveInterfaceIndex = relay.receiveInterfaceIndex;
  settings.allow = relay.allow;
  // The snooper's lines name what hosts sent (groups, sources).
  settings.console = platform::writeUntrustedLine;
  settings.log = [](std::string_view line) { relayLog().appendLog(line); };
  settings.clockScale = tuning.snooperClockScale;
  return std::make_shared<IgmpSnooper>(std::move(settings));
}

// --rejoin: every group the pool receives now, reported on -ri.
std::unique_ptr<MembershipRefresher> makeRefresher(const RelaySettings& relay) {
  RefresherSettings settings;
  settings.interfaceAddress = relay.receiveAddress;
  settings.interfaceIndex = relay.receiveInterfaceIndex;
  settings.periodMs = int(relay.rejoinSeconds * 1000);
  settings.memberships = [] {
    std::vector<HeldMembership> held;
    for (const ReceiverKey& key : receiverPool().keys()) held.push_back({key.group, key.source});
    return held;
  };
  settings.console = writeLine;
  return std::make_unique<MembershipRefresher>(std::move(settings));
}

}  // namespace

engine::HttpEngineSettings relayEngineSettings(platform::Ipv4 listenAddress, std::uint16_t port,
                                               const RelaySettings& relay) {
  engine::HttpEngineSettings settings;
  settings.listeners = {{listenAddress, port}};
  settings.bufferSize = 8192;
  settings.bufferRule = engine::BufferRule::Bounded;
  settings.idleTimeoutMs = 120000;
  settings.headTimeoutMs = 10000;
  settings.allow = relay.allow;
  settings.maxConnectionsPerHost = relay.maxConnectionsPerHost;
  settings.keepAliveByDefault = true;
  settings.connectionLines = engine::ConnectionLines::WhenClosing;
  return settings;
}

namespace {

// The snooper as the status pages see it: set once it runs, cleared before
// it stops. A page being written holds its own share.
struct SnooperSlot {
  std::mutex lock;
  std::shared_ptr<IgmpSnooper> snooper;
  std::shared_ptr<IgmpSnooper> get() {
    std::lock_guard guard(lock);
    return snooper;
  }
  void set(std::shared_ptr<IgmpSnooper> value) {
    std::lock_guard guard(lock);
    snooper = std::move(value);
  }
};

std::function<std::string(StatusView, const RefusalCounts&)> statusWriter(
    std::shared_ptr<const SourceSlot> served, std::shared_ptr<SnooperSlot> slot,
    bool snooperEnabled) {
  StatusSources sources;
  sources.startMs = platform::monotonicMs();
  sources.logText = [] { return relayLog().logText(); };
  if (snooperEnabled) {
    sources.pairs = [slot] {
      const std::shared_ptr<IgmpSnooper> snooper = slot->get();
      return snooper ? snooper->pairStatus() : std::vector<IgmpSnooper::PairStatus>();
    };
  }
  return [sources = std::move(sources), served = std::move(served)](StatusView view,
                                                                    const RefusalCounts& refusals) {
    // The channels served now, held while the page is written.
    const std::shared_ptr<const ServedSources> now = served->get();
    StatusSources current = sources;
    current.playlist = now->channels;
    if (now->guide) {
      current.programmes = [guide = now->guide](std::size_t listIndex, std::int64_t time) {
        return guide->programmes.nowAndNext(listIndex, time);
      };
    }
    StatusSnapshot status = collectStatus(current, streamRegistry());
    status.refusals = refusals;
    switch (view) {
      case StatusView::Json:
        return statusJson(status);
      case StatusView::Metrics:
        return statusMetrics(status);
      case StatusView::Html:
        break;
    }
    return statusHtml(status);
  };
}

}  // namespace

StreamHandoff streamHandoff(const RelaySettings& relay) {
  const platform::Ipv4 receiveAddress = relay.receiveAddress;
  const int receiveIndex = relay.receiveInterfaceIndex;
  const int recvTimeout = relay.recvTimeoutSeconds;
  return [receiveAddress, receiveIndex, recvTimeout](
             engine::HttpConnection& connection, const engine::HttpRequest& request,
             const StreamAddress& stream, const engine::Response& head) {
    ReceiverFailure failure;
    // One receiver per group, port and source: a source-specific stream
    // shares nothing with the any-source one of its group.
    ReceiverKey key{stream.group, stream.port, receiveAddress};
    key.source = stream.source;
    key.interfaceIndex = receiveIndex;
    ReceiverPool::Lease receiver = receiverPool().acquire(key, failure);
    if (!receiver) return;  // no socket for the group: the connection just closes
    const StreamHeads heads{
        engine::responseHead(connection.settings(), request, head),
        engine::responseHead(connection.settings(), request, silentStreamHead())};
    auto sent = std::make_shared<SendCounters>();
    RegisteredReceiver entry;
    if (platform::peerAddressOf(connection.fd(), entry.peer, entry.peerPort) != 0) entry.peer = 0;
    entry.group = stream.group;
    entry.port = stream.port;
    entry.source = stream.source;
    entry.startedUnix = platform::unixSeconds();
    entry.startedMs = platform::monotonicMs();
    entry.received = receiver->counters();
    entry.sent = sent;
    const StreamRegistry::Registration registration = streamRegistry().add(std::move(entry));
    runStreamClient({connection.fd(), connection.shutdownEvent(), connection.idleTimeoutMs()},
                    std::move(receiver), recvTimeout, heads, sent.get());
  };
}

namespace {

// With a playlist the engine answers control requests over it. Every answer
// reads the sources served at the moment it starts: a reload swaps them
// without a pause. Workers may outlive the engine, so each answer holds
// what it reads.
std::unique_ptr<engine::HttpEngine> makeEngine(
    const RelaySettings& relay, std::string_view deviceUuid,
    std::shared_ptr<platform::Event> stopEvent, std::shared_ptr<const SourceSlot> served,
    std::shared_ptr<SubscriptionTable> subscriptions, std::shared_ptr<SnooperSlot> snooperSlot,
    bool mediaServer, bool snooperEnabled, std::string_view protocolInfo,
    std::optional<TunerDevice> tuner) {
  const std::uint16_t port = relay.listenPort;
  engine::HttpEngineSettings settings = relayEngineSettings(relay.listenAddress, port, relay);
  settings.serverToken = platform::serverToken();

  RelayRoutes routes;
  routes.get = [](std::string_view url, RelayRequest& request) {
    resolveUrl(url, request, kStreamPathToken, relayLog());
  };
  RelayFramingSettings framing;
  framing.quitEvent = std::move(stopEvent);
  framing.documents = builtInDocuments(deviceUuid);
  framing.logText = [] { return relayLog().logText(); };
  framing.stream = streamHandoff(relay);
  framing.status = statusWriter(served, std::move(snooperSlot), snooperEnabled);
  framing.adminAllow = relay.adminAllow;
  framing.token = relay.token;
  framing.maxClients = relay.maxClients;
  auto playlistAnswers =
      std::make_shared<PlaylistAnswers>(std::uint32_t(platform::unixSeconds()), relay.token);
  framing.playlist = [served, playlistAnswers](std::string_view host) {
    const std::shared_ptr<const ServedSources> now = served->get();
    return playlistAnswers->get(now->channels, host, now->guide != nullptr);
  };
  framing.guide = [served] { return served->get()->guide; };
  framing.subscriptions = std::move(subscriptions);
  if (mediaServer) {
    routes.mediaServer = true;
    // Set once at start: the protocol info comes from the command line.
    framing.streamFields = dlnaStreamFields(protocolInfo);
    framing.initialEvent = [served](std::string_view url) {
      const std::shared_ptr<const ServedSources> now = served->get();
      if (!now->control) return std::string();
      if (url == kContentDirectoryEvents) {
        return eventBody(*now->control, soapservice::kContentDirectory);
      }
      if (url == "/upnp/event/cm") return eventBody(*now->control, soapservice::kConnectionManager);
      return std::string();
    };
    framing.soapResponder = [served](SoapCall& call, std::string& body) {
      const std::shared_ptr<const ServedSources> now = served->get();
      static const ControlHandler kWithoutList(nullptr, {}, 0);
      const ControlHandler& control = now->control ? *now->control : kWithoutList;
      return control.dispatch(call.service, call.action, call.arguments, body);
    };
  }
  if (tuner) {
    framing.tunerCount = tuner->identity.tunerCount;
    framing.tunerDocument = [served, device = std::move(*tuner), token = relay.token](
                                TunerView view, std::string_view base) {
      switch (view) {
        case TunerView::Discover:
          return discoverJson(device, base);
        case TunerView::Lineup:
          return lineupJson(served->get()->channels.get(), base, token);
        case TunerView::LineupStatus:
        case TunerView::LineupPost:
          break;
      }
      return lineupStatusJson();
    };
    framing.tunerChannel = [served](std::string_view number) -> std::optional<StreamAddress> {
      const std::shared_ptr<const ServedSources> now = served->get();
      const Channel* channel = tunerChannel(now->channels.get(), number);
      if (channel == nullptr) return std::nullopt;
      return StreamAddress{platform::parseIpv4(channel->address), channel->port,
                           parseSource(channel->source)};
    };
  }
  auto framer = std::make_shared<const RelayFraming>(std::move(framing),
                                                     std::uint32_t(platform::unixSeconds()));
  settings.handler = relayRequestHandler(std::move(routes), std::move(framer));
  return std::make_unique<engine::HttpEngine>(std::move(settings));
}

// Tells every ContentDirectory subscriber the new SystemUpdateID.
void notifySubscribers(SubscriptionTable& table, const ServedSources& sources,
                       platform::Event& stop) {
  if (!sources.control) return;
  const std::string body = eventBody(*sources.control, soapservice::kContentDirectory);
  std::vector<EventDelivery> deliveries;
  for (const SubscriptionTable::Delivery& delivery :
       table.nextEvents(kContentDirectoryEvents, platform::monotonicMs())) {
    deliveries.push_back(
        {delivery.callback, eventMessage(delivery.callback, delivery.sid, delivery.seq, body)});
  }
  sendEvents(deliveries, stop);
}

}  // namespace

int runRelay(const std::vector<std::string>& args, std::shared_ptr<platform::Console> console,
             const RelayTuning& tuning) {
  std::srand(unsigned(std::time(nullptr)));

  const CommandLine commandLine = parseRelayCommandLine(args, writeLine);
  if (commandLine.exitStatus) return *commandLine.exitStatus;
  const RelayOptions& options = commandLine.options;
  RelaySettings settings = commandLine.settings;
  // libcurl's global set-up, before any thread of the relay's own starts.
  initFetching();

  std::vector<platform::NetworkCard> cards;
  platform::listNetworkCards(cards);
  // -ri naming an interface marks the card of the address it holds now.
  const bool receiveNamed = !settings.receiveInterface.empty();
  const bool receiveKnown = resolveReceiveInterface(settings);
  std::string receiveCard = options.receiveAddress;
  if (receiveNamed) {
    receiveCard = settings.receiveAddress != 0 ? platform::ipv4Text(settings.receiveAddress) : "";
  }
  CardMatch match = reportNetworkCards(cards, options.listenAddress, receiveCard, writeLine);
  if (commandLine.usageShown) return 0;
  if (receiveNamed) match.receiveFound = receiveKnown;

  writeLine("");
  if (!interfacesAccepted(match, receiveKnown ? std::string() : settings.receiveInterface)) {
    return kExitRefused;
  }

  // The same on every run of this machine with these -li and -lp.
  const std::string uuid = deviceUuid(
      platform::machineId(), platform::ipv4Text(settings.listenAddress), settings.listenPort);
  auto stopEvent = std::make_shared<platform::Event>(platform::Event::Reset::Manual);
  if (!stopEvent->valid()) {
    writeLine("CreateEvent() failed with error " + std::to_string(errno));
    return kExitRefused;
  }
  // From here q and the stop signals end the run, a fetch under way too.
  if (const int error =
          platform::startDetached([console, stopEvent] { consoleThread(console, stopEvent); });
      error != 0) {
    writeLine("CreateThread() failed with error " + std::to_string(error));
    stopEvent->set();
  }

  SourceSettings sourceSettings;
  if (options.dlnaEnabled) sourceSettings.playlist = options.playlistPath;
  sourceSettings.protocolInfo = options.playlistProtocolInfo;
  sourceSettings.guide = options.guidePath;
  sourceSettings.cacheDir = options.cacheDir;
  sourceSettings.maxFetchMb = settings.maxFetchMb;
  sourceSettings.host = options.listenAddress;
  sourceSettings.port = settings.listenPort;
  sourceSettings.token = settings.token;
  auto served = std::make_shared<SourceSlot>();
  served->set(loadSources(sourceSettings, stopEvent.get(), platform::writeUntrustedLine));
  std::unique_ptr<SsdpAdvertiser> advertiser;
  if (options.dlnaEnabled) {
    advertiser = std::make_unique<SsdpAdvertiser>(options.listenAddress, settings.listenPort, uuid,
                                                  settings.allow);
  }

  // Every receiver of this run, for streams and forwarders alike.
  receiverPool().setRtpReorder(settings.rtpReorderPackets);
  writeLine("Starting http server.");
  auto snooperSlot = std::make_shared<SnooperSlot>();
  auto subscriptions = std::make_shared<SubscriptionTable>();
  const std::string protocolInfo =
      served->get()->channels ? served->get()->channels->protocolInfo : ChannelList{}.protocolInfo;
  // The network tuner goes with the media server: media centers read the
  // same channel list through it.
  std::optional<TunerDevice> tuner;
  if (options.dlnaEnabled && options.tunerEnabled) {
    const std::string seed = tunerSeed(
        platform::machineId(), platform::ipv4Text(settings.listenAddress), settings.listenPort);
    tuner.emplace();
    tuner->identity.deviceId = deviceIdFor(seed);
    tuner->identity.tunerCount = settings.tunerCount;
    tuner->identity.deviceAuth = deviceAuthFor(seed);
    tuner->friendlyName = std::string(kFriendlyName);
    tuner->firmwareVersion = std::string(common::kVersion);
  }
  std::unique_ptr<engine::HttpEngine> engine =
      makeEngine(settings, uuid, stopEvent, served, subscriptions, snooperSlot, options.dlnaEnabled,
                 options.igmpSnooperEnabled, protocolInfo, tuner);
  engine->startListening();
  if (advertiser) {
    writeLine("Starting dlna server.");
    advertiser->start();
  }
  std::unique_ptr<MembershipRefresher> refresher;
  if (settings.rejoinSeconds > 0) {
    writeLine("Starting multicast rejoin.");
    refresher = makeRefresher(settings);
    // Without its raw socket the relay goes on, its groups reported by the
    // kernel alone.
    if (!refresher->start()) refresher.reset();
  }
  std::shared_ptr<IgmpSnooper> snooper;
  if (options.igmpSnooperEnabled) {
    snooper = makeSnooper(settings, tuning);
    snooper->start();
    snooperSlot->set(snooper);
  }

  // Media centers find the tuner on the LAN by its discovery, which needs an
  // address to name: -li.
  std::unique_ptr<TunerDiscoveryResponder> discovery;
  if (tuner && settings.listenAddress != 0) {
    writeLine("Starting tuner discovery.");
    tuner->identity.baseUrl = "http://" + platform::ipv4Text(settings.listenAddress) + ":" +
                              std::to_string(settings.listenPort);
    discovery = std::make_unique<TunerDiscoveryResponder>(settings.listenAddress, tuner->identity,
                                                          writeLine, settings.allow);
    if (!discovery->start()) discovery.reset();
  }

  std::unique_ptr<SourceReloader> reloader;
  if (options.dlnaEnabled || !options.guidePath.empty()) {
    SourceReloader::Timing timing;
    timing.refreshMs = std::int64_t(settings.refreshMinutes) * tuning.minuteMs;
    timing.retryMs = tuning.minuteMs;
    reloader = std::make_unique<SourceReloader>(
        sourceSettings, served, timing, &console->reloadEvent(),
        [subscriptions](const ServedSources& sources, platform::Event& stop) {
          notifySubscribers(*subscriptions, sources, stop);
        });
    reloader->start();
  }
  writeLine(kPrompt);
  stopEvent->wait();

  if (discovery) {
    writeLine("Stopping tuner discovery.");
    discovery->stop();
    discovery.reset();
  }
  if (reloader) reloader->stop();
  if (refresher) {
    writeLine("Stopping multicast rejoin.");
    refresher->stop();
    refresher.reset();
  }
  writeLine("Stopping http server");
  engine->shutdownEvent().set();
  platform::sleepMs(kStopGraceMs);
  if (snooper) {
    writeLine("Stopping igmp listener");
    snooperSlot->set(nullptr);
    snooper->stop();
    snooper.reset();
  }
  if (advertiser) {
    writeLine("Stopping DLNA Server.");
    advertiser->stop();
    advertiser.reset();
  }
  engine.reset();

  writeLine("Will exit.");
  return 0;
}

}  // namespace relay
