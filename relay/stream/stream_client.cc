#include "relay/stream/stream_client.h"

#include <optional>
#include <string_view>

#include "platform/socket_io.h"
#include "platform/wait.h"
#include "relay/stream/ts_probe.h"

namespace relay {
namespace {

using platform::WaitItem;
using platform::WaitStatus;

class Streamer {
 public:
  Streamer(StreamClientSocket client, MulticastReceiver& receiver, SendCounters* sent)
      : fd_(client.fd), shutdown_(client.shutdown), receiver_(receiver), sent_(sent) {}

  // Waits for the first chunk; false when the stream must end unanswered.
  bool awaitFirstData(int timeoutMs, bool& timedOut) {
    // The client's readability stands for anything it sends and for its
    // leaving: either ends the stream.
    const WaitItem items[] = {WaitItem::event(shutdown_), WaitItem::readable(fd_),
                              WaitItem::event(receiver_.dataEvent())};
    const platform::WaitResult ready = platform::waitAny(items, timeoutMs);
    timedOut = ready.status == WaitStatus::Timeout;
    if (timedOut) receiver_.stop();
    return !(ready.status == WaitStatus::Signalled && ready.index < 2);
  }

  // Sends all of `bytes`. False when the client left or sent something, a
  // send made no progress for 60 s, the backlog grew too long meanwhile, or
  // the relay stops.
  bool send(const unsigned char* bytes, std::size_t size) {
    if (size == 0) return false;  // an empty send ends the stream
    const WaitItem stops[] = {WaitItem::event(shutdown_), WaitItem::readable(fd_)};
    platform::SendWaits waits;
    waits.stops = stops;
    waits.stallMs = kSendStallMs;
    // A send that waits long would let the queue grow without bound: the
    // backlog limit holds while it waits too.
    waits.wake = &receiver_.dataEvent();
    waits.keepWaiting = [this] { return !tooSlow(); };
    const std::string_view text(reinterpret_cast<const char*>(bytes), size);
    return platform::sendAll(fd_, text, waits).status == platform::SendStatus::Sent;
  }

  // Waits until a chunk is queued, polling every second. False when the
  // client or the relay ends the stream meanwhile.
  bool awaitChunk() {
    const WaitItem items[] = {WaitItem::event(shutdown_), WaitItem::readable(fd_),
                              WaitItem::event(receiver_.dataEvent())};
    while (receiver_.queue().count() == 0) {
      const platform::WaitResult ready = platform::waitAny(items, kEmptyQueuePollMs);
      if (ready.status == WaitStatus::Failed) return false;
      if (ready.status == WaitStatus::Signalled && ready.index < 2) return false;
    }
    return true;
  }

  bool tooSlow() const { return receiver_.queue().count() > kMostQueuedChunks; }

  void streamChunks() {
    ChunkQueue& queue = receiver_.queue();
    std::optional<ProbeResult> format;
    for (;;) {
      if (!awaitChunk()) return;
      if (tooSlow()) return;
      DataChunk* chunk = queue.head();
      std::size_t length = std::size_t(chunk->length);
      if (!format) {
        format = probeFirstChunk(chunk->data.get(), length);
        if (!format) return;
        if (sent_) sent_->format.store(int(format->format), std::memory_order_relaxed);
      }
      if (format->format == StreamFormat::Rtp) {
        length = convertRtpChunk(chunk->data.get(), length, chunk->data.get());
        chunk->length = std::ptrdiff_t(length);
      }
      if (!send(chunk->data.get(), length)) return;
      if (sent_) sent_->bytes.fetch_add(length, std::memory_order_relaxed);
      queue.removeHead();
    }
  }

 private:
  int fd_;
  platform::Event& shutdown_;
  MulticastReceiver& receiver_;
  SendCounters* sent_;
};

const unsigned char* bytesOf(std::string_view text) {
  return reinterpret_cast<const unsigned char*>(text.data());
}

}  // namespace

void runStreamClient(StreamClientSocket client, MulticastReceiver& receiver, int recvTimeoutSeconds,
                     const StreamHeads& heads, SendCounters* sent) {
  if (!receiver.hasSocket() && receiver.createSocket() != 0) return;
  if (receiver.start() != 0) {
    receiver.stop();
    return;
  }
  Streamer streamer(client, receiver, sent);
  bool timedOut = false;
  if (streamer.awaitFirstData(recvTimeoutSeconds * 1000, timedOut)) {
    const std::string& head = timedOut ? heads.silent : heads.streaming;
    // After the 500 head the stopped receiver queues nothing: the stream
    // then waits for the client to leave or the relay to stop.
    if (streamer.send(bytesOf(head), head.size())) streamer.streamChunks();
  }
  receiver.stop();
}

}  // namespace relay
