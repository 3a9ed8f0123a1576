// One received multicast group and port (from one source, or from any),
// shared by all its clients (stream requests and forwarded pairs alike):
// one socket, one membership, one receiving thread, and the chain of recent
// datagrams they all read at their own position (see datagram_buffer.h).
// The pool below hands out receivers: the group is joined when its first
// client comes and left when its last one goes.
//
// The receiving thread drains its socket in batches, appends each datagram
// whole (never split or truncated) and publishes the batch once. With a
// reorder window, RTP datagrams are appended in sequence order, copies
// dropped (rtp_reorder.h); a datagram in order is appended at once.
// It wakes only the clients that asked to be woken, once each. On the way it
// counts what passes (receive_counters.h) and finds where a player could
// start (start_point.h): a new client of a group that is flowing begins at
// the latest PAT before the latest keyframe, so it can show a picture at
// once.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/event.h"
#include "platform/socket.h"
#include "relay/stream/datagram_buffer.h"
#include "relay/stream/receive_counters.h"

namespace relay {

inline constexpr int kReceiveBufferBytes = 987000;
inline constexpr int kReceiverStopWaitMs = 10000;
// A start point that holds more of the chain than this is not offered: a
// source whose keyframes are that far apart starts at the newest data.
inline constexpr std::uint64_t kMostStartBacklog = 16 * 1024 * 1024;
// A start point is only offered while the group is flowing: data came
// within this time.
inline constexpr std::int64_t kFlowingMs = 1000;
// A client whose place holds more of the chain than this is dropped (a
// stream) or skips ahead (a forwarder): ten thousand chunks of two
// 1316-byte datagrams, about 26 MB. Counted in whole blocks from the
// client's block to the newest, the memory they take however little each
// carries: tiny datagrams fill a block's datagram count long before its
// bytes, and the same backlog of them would hold a hundred times as much.
inline constexpr std::uint64_t kMostHeldBytes = 10000ull * 2 * 1316;

struct ReceiverKey {
  platform::Ipv4 group = 0;             // network order
  std::uint16_t port = 0;               // host order
  platform::Ipv4 interfaceAddress = 0;  // network order
  // Network order; 0 for any source, else a source-specific membership
  // that receives this sender's datagrams only.
  platform::Ipv4 source = 0;
  // The receiving interface by index (-ri naming an interface), so the
  // membership follows whatever address it has; 0: by interfaceAddress.
  int interfaceIndex = 0;
  bool operator==(const ReceiverKey&) const = default;
};

class MulticastReceiver {
 public:
  explicit MulticastReceiver(const ReceiverKey& key);
  // Stops the thread if the owner has not.
  ~MulticastReceiver();
  MulticastReceiver(const MulticastReceiver&) = delete;
  MulticastReceiver& operator=(const MulticastReceiver&) = delete;

  const ReceiverKey& key() const { return key_; }
  // The socket and its options; 0 or the errno of the failing call.
  int createSocket();
  // The RTP reorder window in datagrams (0: off, the default); before start().
  void setRtpReorder(std::uint32_t packets) { shared_->rtpReorder = packets; }
  // Joins (once), binds (once) and starts the receiving thread; 0 or errno.
  int start();
  // Ends the receiving thread, waiting for it at most 10 s. The thread
  // closes the socket, which leaves the group.
  void stop();

  // What the kernel granted for the receive buffer (Linux reports double
  // the usable size).
  int receiveBufferGranted() const { return receiveBufferGranted_; }

  // Where a new client begins. With `fromStartPoint`, at the latest start
  // point while the group flows (`unitOffset`: the byte of that datagram
  // where the PAT's unit begins), otherwise at the newest data (offset 0).
  BufferPosition attach(bool fromStartPoint, std::uint32_t& unitOffset) const;
  // The group's byte count published so far.
  std::uint64_t receivedBytes() const;
  // How far a client at `at` is behind the newest data. The count follows
  // the datagrams a little: a place just taken may lie ahead of it (0).
  std::uint64_t behind(const BufferPosition& at) const {
    const std::uint64_t received = receivedBytes();
    const std::uint64_t place = at.byte();
    return received > place ? received - place : 0;
  }
  // The memory of the blocks a client at `at` keeps: its own and every
  // one after it up to the newest, whole. Follows the chain a little, like
  // behind().
  std::uint64_t heldBytes(const BufferPosition& at) const {
    const std::uint64_t newest = shared_->newestBlock.load(std::memory_order_relaxed);
    const std::uint64_t first = at.block->index();
    return (newest > first ? newest - first + 1 : 1) * kBlockBytes;
  }
  // Whether a client at `at` holds more than kMostHeldBytes.
  bool tooFarBehind(const BufferPosition& at) const { return heldBytes(at) > kMostHeldBytes; }
  // `event` is set once, after the next batch is published; forgetWake
  // takes the request back (call it before the event goes).
  void wakeOnData(platform::Event& event) const;
  void forgetWake(platform::Event& event) const;

  // What the receiving thread counts; the share outlives the receiver while
  // a reader holds it.
  std::shared_ptr<const ReceiveCounters> counters() const {
    return std::shared_ptr<const ReceiveCounters>(shared_, &shared_->counters);
  }

 private:
  struct StartPoint {
    std::shared_ptr<DatagramBlock> block;
    std::uint32_t datagram = 0;
    std::uint32_t offset = 0;
  };
  // What the receiving thread uses; it holds a share, so a thread that
  // outlived the stop wait never touches freed memory.
  struct Shared {
    platform::Socket socket;
    platform::Event stopEvent{platform::Event::Reset::Manual};
    platform::Event finished{platform::Event::Reset::Manual};
    ReceiveCounters counters;
    std::atomic<std::uint64_t> receivedBytes{0};
    std::atomic<std::uint64_t> newestBlock{0};  // its index
    std::atomic<std::int64_t> lastDataMs{0};
    std::atomic<int> waiting{0};
    std::uint32_t rtpReorder = 0;  // set before the thread starts
    // Guards the fields below: the newest block, the start point, the
    // events to set.
    mutable std::mutex lock;
    std::shared_ptr<DatagramBlock> tail = std::make_shared<DatagramBlock>(0);
    StartPoint start;
    std::vector<platform::Event*> wakes;
  };
  static void receivingThread(std::shared_ptr<Shared> shared);

  ReceiverKey key_;
  std::shared_ptr<Shared> shared_;
  std::thread thread_;
  bool joined_ = false;
  bool bound_ = false;
  int receiveBufferGranted_ = 0;
};

// Why a receiver could not be had: the step that failed and its errno.
struct ReceiverFailure {
  enum class Step { None, Create, Start } step = Step::None;
  int error = 0;
};

// The receivers running now, one per key, each with the count of its
// clients.
class ReceiverPool {
 public:
  // A client's share of a receiver; the last share to go stops it.
  class Lease {
   public:
    Lease() = default;
    Lease(Lease&& other) noexcept { *this = std::move(other); }
    Lease& operator=(Lease&& other) noexcept;
    ~Lease() { reset(); }
    void reset();
    explicit operator bool() const { return receiver_ != nullptr; }
    MulticastReceiver* operator->() const { return receiver_.get(); }
    MulticastReceiver& operator*() const { return *receiver_; }

   private:
    friend class ReceiverPool;
    ReceiverPool* pool_ = nullptr;
    std::shared_ptr<MulticastReceiver> receiver_;
  };

  // The running receiver of `key`, started for this first client when
  // there is none; empty, with `failure` set, when it could not start.
  Lease acquire(const ReceiverKey& key, ReceiverFailure& failure);
  // Receivers running now (for tests).
  std::size_t size() const;
  // The key of each receiver running now.
  std::vector<ReceiverKey> keys() const;
  // The RTP reorder window of the receivers started from now on (0: off).
  void setRtpReorder(std::uint32_t packets);

 private:
  struct Entry {
    std::shared_ptr<MulticastReceiver> receiver;
    int clients = 0;
  };
  void release(const std::shared_ptr<MulticastReceiver>& receiver);

  mutable std::mutex lock_;
  std::vector<Entry> entries_;
  std::uint32_t rtpReorder_ = 0;
};

// The one pool of the process.
ReceiverPool& receiverPool();

}  // namespace relay
