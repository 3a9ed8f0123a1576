// The streams and forwarders running now, for the status pages. Each
// registers when its receiver starts and unregisters when it ends; only the
// status pages read the list. The lock is taken twice per stream and per
// status page, never per datagram: the counters are the owners' atomics.
//
// Per received group, port and source the registry also keeps what ended
// streams counted, so a group's totals only ever grow.
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/socket.h"
#include "relay/stream/receive_counters.h"

namespace relay {

enum class ReceiverRole { Stream, Forward };

struct RegisteredReceiver {
  ReceiverRole role = ReceiverRole::Stream;
  platform::Ipv4 peer = 0;  // the client or the forwarding host, network order
  std::uint16_t peerPort = 0;
  platform::Ipv4 group = 0;   // network order
  std::uint16_t port = 0;     // host order
  platform::Ipv4 source = 0;  // network order; 0: any sender
  std::int64_t startedUnix = 0;
  std::int64_t startedMs = 0;  // monotonic
  std::shared_ptr<const ReceiveCounters> received;
  std::shared_ptr<const SendCounters> sent;
};

struct ReceiverSample {
  RegisteredReceiver receiver;
  std::uint64_t datagramsReceived = 0;
  std::uint64_t bytesReceived = 0;
  std::uint64_t ccErrors = 0;
  std::uint64_t rtpGaps = 0;
  std::uint64_t rtpReordered = 0;
  std::uint64_t rtpDuplicates = 0;
  std::uint64_t rtpLost = 0;
  std::uint64_t datagramsSent = 0;
  std::uint64_t bytesSent = 0;
  int format = -1;
  // Bits per second sent over the last few seconds (since the status was
  // read before last, or since the start).
  std::uint64_t bitRate = 0;
};

// Per group, port and source: a source-specific stream of a group is
// counted apart from its any-source stream.
struct GroupTotals {
  platform::Ipv4 group = 0;
  std::uint16_t port = 0;
  platform::Ipv4 source = 0;
  std::uint64_t datagrams = 0;
  std::uint64_t bytes = 0;
  std::uint64_t ccErrors = 0;
  std::uint64_t rtpGaps = 0;
  std::uint64_t rtpReordered = 0;
  std::uint64_t rtpDuplicates = 0;
  std::uint64_t rtpLost = 0;
  std::uint32_t receivers = 0;  // running now
};

class StreamRegistry {
 public:
  // Groups whose totals are kept; past that, the first one seen goes.
  static constexpr std::size_t kMostGroups = 1024;

  class Registration {
   public:
    Registration() = default;
    Registration(Registration&& other) noexcept { *this = std::move(other); }
    Registration& operator=(Registration&& other) noexcept;
    ~Registration();

   private:
    friend class StreamRegistry;
    StreamRegistry* registry_ = nullptr;
    std::uint64_t id_ = 0;
  };

  Registration add(RegisteredReceiver receiver);

  struct Snapshot {
    std::vector<ReceiverSample> receivers;  // in start order
    std::vector<GroupTotals> groups;        // by first reception
  };
  Snapshot snapshot(std::int64_t nowMs);

 private:
  struct Entry {
    std::uint64_t id;
    RegisteredReceiver receiver;
    // Two samples of the bytes sent, for the bit rate.
    std::int64_t olderMs, newerMs;
    std::uint64_t olderBytes = 0, newerBytes = 0;
  };
  void remove(std::uint64_t id);
  GroupTotals& totalsOf(const RegisteredReceiver& receiver);

  std::mutex lock_;
  std::list<Entry> entries_;
  std::vector<GroupTotals> ended_;  // what ended receivers counted, per group
  std::uint64_t nextId_ = 1;
};

// The one registry of the process.
StreamRegistry& streamRegistry();

}  // namespace relay
