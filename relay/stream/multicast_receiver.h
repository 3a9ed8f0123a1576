// One joined multicast group: its own socket, membership, receiving thread
// and chunk queue. Every stream request and every forwarded (host, group)
// pair has a receiver of its own, even when several watch the same group.
//
// The receiving thread gathers whole datagram payloads into chunks: the
// first chunk is queued once it holds at least 13160 bytes (a sizeable first
// block for the client), every later one at 1500 bytes (low latency).
// Datagrams are never split, truncated or reordered.
//
// A forwarder has to send each datagram on as a datagram of its own. With
// keepDatagramSizes set, every chunk also lists the sizes of the datagrams
// it holds, so the forwarder sends each slice of the chunk as one datagram.
// The chunk rules stay the same and the bytes are copied once, from the
// receive slot into the chunk, either way.
#pragma once

#include <cstdint>
#include <memory>
#include <thread>

#include "platform/event.h"
#include "platform/socket.h"
#include "relay/stream/chunk_queue.h"
#include "relay/stream/receive_counters.h"

namespace relay {

inline constexpr std::uint32_t kFirstChunkSize = 13160;
inline constexpr std::uint32_t kChunkSize = 1500;
inline constexpr int kReceiveBufferBytes = 987000;
inline constexpr int kReceiverStopWaitMs = 10000;

class MulticastReceiver {
 public:
  MulticastReceiver();
  // Stops the thread if the owner has not, then frees every queued chunk.
  ~MulticastReceiver();
  MulticastReceiver(const MulticastReceiver&) = delete;
  MulticastReceiver& operator=(const MulticastReceiver&) = delete;

  // Set by the owner before start; all in network order.
  platform::Ipv4 group = 0;
  platform::Ipv4 interfaceAddress = 0;
  std::uint16_t port = 0;
  // Chunks list their datagrams' sizes (see DataChunk).
  bool keepDatagramSizes = false;

  // The socket and its options; 0 or the errno of the failing call.
  int createSocket();
  bool hasSocket() const;
  // Joins (once), binds (once) and starts the receiving thread; 0 or errno.
  int start();
  // Ends the receiving thread, waiting for it at most 10 s. The thread
  // closes the socket, which leaves the group.
  void stop();

  // What the kernel granted for the receive buffer (Linux reports double
  // the usable size).
  int receiveBufferGranted() const { return receiveBufferGranted_; }

  ChunkQueue& queue() { return shared_->queue; }
  // Set after each queued chunk (auto reset).
  platform::Event& dataEvent() { return shared_->dataEvent; }
  // What the receiving thread counts; the share outlives the receiver while
  // a reader holds it.
  std::shared_ptr<const ReceiveCounters> counters() const {
    return std::shared_ptr<const ReceiveCounters>(shared_, &shared_->counters);
  }

 private:
  // What the receiving thread uses; it holds a share, so a thread that
  // outlived the stop wait never touches freed memory.
  struct Shared {
    platform::Socket socket;
    ChunkQueue queue;
    platform::Event dataEvent{platform::Event::Reset::Auto};
    platform::Event stopEvent{platform::Event::Reset::Manual};
    platform::Event finished{platform::Event::Reset::Manual};
    ReceiveCounters counters;
  };
  static void receivingThread(std::shared_ptr<Shared> shared, bool keepDatagramSizes);

  std::shared_ptr<Shared> shared_;
  std::thread thread_;
  bool joined_ = false;
  bool bound_ = false;
  int receiveBufferGranted_ = 0;
};

// The chunk rules of the receiving thread, apart from the socket: whole
// datagrams go in, full chunks come out in order.
class ChunkAssembler {
 public:
  explicit ChunkAssembler(bool keepDatagramSizes = false) : keepSizes_(keepDatagramSizes) {}
  // Adds one datagram; returns a chunk when this datagram completed one.
  std::unique_ptr<DataChunk> add(const unsigned char* datagram, std::size_t size);
  std::uint32_t chunkSize() const { return chunkSize_; }

 private:
  bool keepSizes_;
  std::uint32_t chunkSize_ = kFirstChunkSize;
  std::unique_ptr<DataChunk> chunk_ = std::make_unique<DataChunk>(2 * kFirstChunkSize);
  std::size_t filled_ = 0;
};

}  // namespace relay
