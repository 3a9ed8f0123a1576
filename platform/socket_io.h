// Sending on a non-blocking socket: all of a stream send, or one datagram.
// A full send buffer is waited out together with the caller's stop items,
// so that no send outlives the reason for it. And the one way to receive a
// datagram with where it arrived.
#pragma once

#include <netinet/in.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string_view>

#include "platform/wait.h"

namespace platform {

class Event;

inline constexpr std::size_t kMostSendStops = 4;

enum class SendStatus {
  Sent,         // every byte went out
  Stopped,      // see SendResult::stop
  PeerGone,     // a send failed: reset, closed, or no socket (`error`)
  Stalled,      // no room for `stallMs`
  SourceEnded,  // sendFileAll: the file ended before the length sent
  WaitFailed,   // the wait for room failed (`error`)
};

struct SendResult {
  SendStatus status = SendStatus::Sent;
  // The ready stop item's index; stops.size() when `keepWaiting` said no.
  std::size_t stop = 0;
  int error = 0;         // errno, for PeerGone and WaitFailed
  std::size_t sent = 0;  // bytes that went out
};

// What a stream send waits on while the send buffer is full.
struct SendWaits {
  // Any of these ready ends the send, the lower index first. At most
  // kMostSendStops.
  std::span<const WaitItem> stops;
  // How long a send may find no room, counted from the send that found
  // none; negative: no limit.
  int stallMs = -1;
  // Optional: `wake` interrupts the wait, and the send waits on only while
  // `keepWaiting()` says so (without it, a wake ends the send). The stall
  // limit keeps counting meanwhile.
  Event* wake = nullptr;
  std::function<bool()> keepWaiting;
};

// Sends all of `bytes` on the stream socket `fd`, without SIGPIPE. `more`:
// more bytes follow at once (MSG_MORE), so the kernel may hold back a
// partial segment. Nothing to send is Sent at once.
SendResult sendAll(int fd, std::string_view bytes, const SendWaits& waits, bool more = false);

// Sends `length` bytes of the open file `file` from `offset` on `fd`, at
// most `window` bytes per call, waiting for room as sendAll does.
// SourceEnded when the file is shorter than promised (it shrank).
SendResult sendFileAll(int fd, int file, std::uint64_t offset, std::uint64_t length,
                       std::size_t window, const SendWaits& waits);

// One gathered send of `pieces` on the stream socket `fd`, without waiting
// and without SIGPIPE: the bytes that went out (0 when the send buffer is
// full), or -errno when the send failed.
std::int64_t sendSome(int fd, std::span<const iovec> pieces);

enum class DatagramStatus {
  Sent,
  Stopped,     // the stop item DatagramResult::stop was ready
  Refused,     // the first try failed, other than for a full buffer (`error`)
  Lost,        // a try after waiting for room failed, a full buffer included
               // when the wait is bounded (`error`)
  WaitFailed,  // the wait for room failed (`error`)
};

struct DatagramResult {
  DatagramStatus status = DatagramStatus::Sent;
  std::size_t stop = 0;
  int error = 0;
};

// Sends `bytes` as one datagram to `to` (nullptr: the connected peer). A
// full send buffer waits for room together with `stops` (at most
// kMostSendStops): with `roomWaitMs` < 0 for as long as it takes, otherwise
// once for that long, after which the next try decides.
DatagramResult sendDatagram(int fd, std::string_view bytes, const sockaddr_in* to,
                            std::span<const WaitItem> stops, int roomWaitMs);

// Sends each of `datagrams` as one datagram to `to`, in order, as many per
// call as the kernel takes (sendmmsg). A full send buffer is waited out as
// sendDatagram does. `sent` went out; when fewer than all, `next` says what
// became of the one after them (never Sent).
struct DatagramsResult {
  std::size_t sent = 0;
  DatagramResult next;
};
DatagramsResult sendDatagrams(int fd, std::span<const iovec> datagrams, const sockaddr_in* to,
                              std::span<const WaitItem> stops, int roomWaitMs);

// One datagram taken without waiting from a socket with IP_PKTINFO on
// (Socket::setPacketInfo): its sender, and the interface it arrived on and
// the address it was sent to when the kernel said so.
struct ArrivedDatagram {
  std::size_t size = 0;
  sockaddr_in peer{};
  bool truncated = false;   // larger than the buffer
  bool hasArrival = false;  // the next two are known
  int interfaceIndex = 0;
  std::uint32_t destination = 0;  // network order
};
enum class ReceiveStatus { Received, Empty, Failed };
// Empty when nothing is waiting; Failed with `error` (errno) otherwise.
ReceiveStatus receiveArrived(int fd, std::span<unsigned char> buffer, ArrivedDatagram& out,
                             int& error);

}  // namespace platform
