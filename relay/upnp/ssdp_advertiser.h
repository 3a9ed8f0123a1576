// Discovery of the media server on the local network (SSDP, UPnP 1.0):
// ssdp:alive announcements at start and every 28 minutes, unicast answers to
// M-SEARCH after the random delay the searcher's MX allows, and one
// ssdp:byebye for the root device at stop. Every message points at the
// device description on the relay's own HTTP address and port.
//
// Linux does not hand group traffic to a socket bound to a unicast address,
// so the listen socket is bound to the any-address and joins the group on the
// host address's interface; datagrams that arrived on another interface (and
// were not addressed to the host address) are dropped.
#pragma once

#include <netinet/in.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/address_list.h"
#include "platform/event.h"
#include "platform/socket.h"
#include "relay/upnp/descriptions.h"

namespace relay {

inline constexpr std::string_view kSsdpGroup = "239.255.255.250";
inline constexpr std::uint16_t kSsdpPort = 1900;
inline constexpr int kSsdpMaxAgeSeconds = 1800;
// Re-announce two minutes before the max-age runs out.
inline constexpr int kSsdpRepeatMs = (kSsdpMaxAgeSeconds - 120) * 1000;
inline constexpr int kSsdpByeByeGraceMs = 500;
inline constexpr std::size_t kSsdpReceiveBytes = 1500;

// What a message announces or answers. kSsdpAllTypes stands for the first five
// in order; the byebye has an announcement form only.
enum SsdpType : int {
  kSsdpRootDevice = 0,
  kSsdpDeviceUuid = 1,
  kSsdpDeviceType = 2,
  kSsdpContentDirectory = 3,
  kSsdpConnectionManager = 4,
  kSsdpByeBye = 5,
  kSsdpAllTypes = 6,
};

inline constexpr std::size_t kSsdpMessageCount = 11;
using SsdpMessages = std::array<std::string, kSsdpMessageCount>;

// The eleven datagrams: type t's announcement at 2t, its answer at 2t + 1,
// the byebye at 10. Every one ends in the same tail (Location ... CONFIGID
// and an empty line). `deviceUuid` is in every USN.
SsdpMessages buildSsdpMessages(std::string_view hostAddress, std::uint16_t port,
                               std::string_view serverToken, std::uint32_t bootId,
                               std::string_view deviceUuid = kDeviceUuid);

// Indices into the messages for one occasion: announcements (multicast) or
// answers (unicast) of `type`; kSsdpAllTypes gives the five types in order.
std::vector<std::size_t> ssdpMessageIndices(int type, bool multicast);

struct SsdpSearch {
  int type;              // kSsdpRootDevice .. kSsdpConnectionManager, or kSsdpAllTypes
  std::uint32_t spread;  // the answer waits 0 .. spread - 1 seconds
};

// An M-SEARCH datagram that deserves an answer, read as searchers write
// them; nothing for any other datagram, a search without MX or an ST that
// is not ours (`deviceUuid` is the device a uuid: search asks for).
std::optional<SsdpSearch> readSsdpSearch(std::string_view datagram,
                                         std::string_view deviceUuid = kDeviceUuid);

class SsdpAdvertiser {
 public:
  // Opens the sockets, builds the messages and starts the repeat thread;
  // nothing is sent yet. Searches from hosts outside `allow` (--allow) go
  // unanswered; the announcements go to the group as ever.
  SsdpAdvertiser(const std::string& hostAddress, std::uint16_t port,
                 std::string_view deviceUuid = kDeviceUuid, platform::AddressList allow = {});
  // Stops first when the owner has not.
  ~SsdpAdvertiser();
  SsdpAdvertiser(const SsdpAdvertiser&) = delete;
  SsdpAdvertiser& operator=(const SsdpAdvertiser&) = delete;

  // Announces once, joins the group and starts answering searches.
  void start();
  // Ends every thread, drops every answer still waiting, and says goodbye
  // once.
  void stop();

  std::uint32_t bootId() const { return bootId_; }

 private:
  struct WaitingAnswer {
    int type;
    sockaddr_in peer;
  };

  void openSockets();
  // Waits up to `seconds` on the abort event; true when it was set.
  bool aborted(std::uint32_t seconds);
  // One occasion: waits `delaySeconds` on the abort event first when given,
  // then sends the messages of `type` on the multicast socket or, for an
  // answer, to `peer` on the reply socket.
  void send(int type, std::optional<std::uint32_t> delaySeconds, const sockaddr_in* peer);
  // One datagram on its way; false when the rest of the occasion is to be
  // abandoned.
  bool sendDatagram(int fd, const std::string& message, const sockaddr_in& to);
  void repeatThread();
  void listenerThread();
  // Whether a datagram that came in on `interfaceIndex` for `destination`
  // is this interface's traffic.
  bool ours(int interfaceIndex, in_addr_t destination) const;
  void answer(const SsdpSearch& search, const sockaddr_in& peer);
  // Sends each waiting answer when its delay is up, until the abort.
  void answerThread();
  void endThreads();

  const platform::Ipv4 host_;
  const std::string deviceUuid_;
  const platform::AddressList allow_;
  const std::uint32_t bootId_;
  const SsdpMessages messages_;
  int interfaceIndex_ = 0;

  platform::Socket multicast_;
  platform::Socket reply_;
  platform::Socket listen_;
  // Why the listen socket has no port (the listener reports it), or 0.
  int listenBindError_ = 0;

  std::mutex sendLock_;
  platform::Event listenerStop_{platform::Event::Reset::Manual};
  platform::Event repeatStop_{platform::Event::Reset::Manual};
  platform::Event abort_{platform::Event::Reset::Manual};

  std::thread repeat_;
  std::thread listener_;
  std::thread answerer_;
  // The answers waiting for their delay, by the monotonic millisecond they
  // are due. One thread serves them all, so a flood of searches costs
  // memory (bounded) rather than threads.
  std::mutex waitingLock_;
  std::multimap<std::int64_t, WaitingAnswer> waiting_;
  platform::Event waitingChanged_{platform::Event::Reset::Auto};
  std::minstd_rand random_;  // the listener thread's only

  bool started_ = false;
  bool stopped_ = false;
};

}  // namespace relay
