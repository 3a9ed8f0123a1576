#include "relay/stream/multicast_receiver.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/net_init.h"
#include "platform/thread.h"
#include "platform/wait.h"

namespace relay {
namespace {

// recvmmsg slots: room for the largest UDP payload each, so nothing is ever
// truncated. Only the pages a datagram touches become resident.
constexpr std::size_t kBatch = 16;
constexpr std::size_t kSlotBytes = 65536;

}  // namespace

std::unique_ptr<DataChunk> ChunkAssembler::add(const unsigned char* datagram, std::size_t size) {
  if (filled_ + size > chunk_->capacity) {
    // Only a datagram larger than the chunk size gets here: keep it whole.
    auto larger = std::make_unique<DataChunk>(filled_ + size);
    std::memcpy(larger->data.get(), chunk_->data.get(), filled_);
    larger->datagramSizes = std::move(chunk_->datagramSizes);
    chunk_ = std::move(larger);
  }
  if (size != 0) std::memcpy(chunk_->data.get() + filled_, datagram, size);
  // An empty datagram adds no bytes, but a forwarder still sends it on.
  if (keepSizes_) chunk_->datagramSizes.push_back(std::uint32_t(size));
  filled_ += size;
  if (filled_ < chunkSize_) return nullptr;

  chunkSize_ = kChunkSize;
  chunk_->length = std::ptrdiff_t(filled_);
  std::unique_ptr<DataChunk> full = std::move(chunk_);
  chunk_ = std::make_unique<DataChunk>(2 * chunkSize_);
  filled_ = 0;
  return full;
}

MulticastReceiver::MulticastReceiver() : shared_(std::make_shared<Shared>()) {
  platform::ensureWinsock();
}

MulticastReceiver::~MulticastReceiver() {
  stop();
}

bool MulticastReceiver::hasSocket() const {
  return shared_->socket.valid();
}

int MulticastReceiver::createSocket() {
  if (!shared_->dataEvent.valid() || !shared_->stopEvent.valid() || !shared_->finished.valid()) {
    return EMFILE;
  }
  int error = 0;
  platform::Socket socket = platform::Socket::open(SOCK_DGRAM, IPPROTO_UDP, error, true);
  if (error != 0) return error;
  if ((error = socket.setReceiveBuffer(kReceiveBufferBytes, receiveBufferGranted_)) != 0 ||
      (error = socket.setSendBuffer(0)) != 0 || (error = socket.setReuseAddress(true)) != 0) {
    return error;
  }
  // Only the group this socket joined, not every group of the host on this port.
  socket.setIntOption(IPPROTO_IP, IP_MULTICAST_ALL, 0);
  shared_->socket = std::move(socket);
  return 0;
}

int MulticastReceiver::start() {
  platform::Socket& socket = shared_->socket;
  if (!socket.valid()) return EBADF;
  if (!joined_) {
    // A failed join shows later as a silent group.
    socket.setMulticastInterface(interfaceAddress);
    socket.joinGroup(group, interfaceAddress);
    joined_ = true;
  }
  if (!bound_) {
    // Linux hands multicast only to sockets bound to the group (or to any
    // address); the join above picks the receiving interface.
    if (const int error = socket.bind(group, ntohs(port)); error != 0) return error;
    bound_ = true;
  }
  if (thread_.joinable()) return 0;
  return platform::startJoinable(
      thread_, [shared = shared_, keep = keepDatagramSizes] { receivingThread(shared, keep); });
}

void MulticastReceiver::stop() {
  if (!thread_.joinable()) return;
  shared_->stopEvent.set();
  if (shared_->finished.wait(kReceiverStopWaitMs)) {
    thread_.join();
  } else {
    thread_.detach();  // it holds its own share of what it uses
  }
}

void MulticastReceiver::receivingThread(std::shared_ptr<Shared> shared, bool keepDatagramSizes) {
  platform::raiseCurrentThreadPriority();
  const int fd = shared->socket.fd();
  std::unique_ptr<unsigned char[]> slots(new unsigned char[kBatch * kSlotBytes]);
  std::vector<mmsghdr> messages(kBatch);
  std::vector<iovec> vectors(kBatch);
  for (std::size_t i = 0; i < kBatch; ++i) {
    vectors[i] = iovec{slots.get() + i * kSlotBytes, kSlotBytes};
    messages[i] = mmsghdr{};
    messages[i].msg_hdr.msg_iov = &vectors[i];
    messages[i].msg_hdr.msg_iovlen = 1;
  }

  ChunkAssembler assembler(keepDatagramSizes);
  auto continuity = std::make_unique<ContinuityCheck>();
  ReceiveCounters& counters = shared->counters;
  const platform::WaitItem items[] = {platform::WaitItem::event(shared->stopEvent),
                                      platform::WaitItem::readable(fd)};
  bool receiving = true;
  while (receiving) {
    const platform::WaitResult ready = platform::waitAny(items, -1);
    if (ready.status != platform::WaitStatus::Signalled || ready.index == 0) break;
    // Drain what is there, a batch per call.
    for (;;) {
      const int n = ::recvmmsg(fd, messages.data(), kBatch, MSG_DONTWAIT, nullptr);
      if (n < 0) {
        receiving = errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        break;
      }
      std::uint64_t bytes = 0;
      ContinuityCheck::Found found;
      for (int i = 0; i < n; ++i) {
        const unsigned char* datagram = slots.get() + std::size_t(i) * kSlotBytes;
        const std::size_t size = messages[i].msg_len;
        bytes += size;
        continuity->datagram(datagram, size, found);
        std::unique_ptr<DataChunk> full = assembler.add(datagram, size);
        if (full) {
          shared->queue.append(std::move(full));
          shared->dataEvent.set();
        }
      }
      counters.datagrams.fetch_add(std::uint64_t(n), std::memory_order_relaxed);
      counters.bytes.fetch_add(bytes, std::memory_order_relaxed);
      if (found.ccErrors != 0)
        counters.ccErrors.fetch_add(found.ccErrors, std::memory_order_relaxed);
      if (found.rtpGaps != 0) counters.rtpGaps.fetch_add(found.rtpGaps, std::memory_order_relaxed);
      if (std::size_t(n) < kBatch) break;
    }
  }
  shared->socket.close();
  shared->finished.set();
}

}  // namespace relay
