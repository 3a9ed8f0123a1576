// The relay's main job: one HTTP connection receiving one multicast group.
// Runs on the connection's worker thread for the stream's whole life: waits
// for the first data, writes the head it is given, then sends the group's
// data from the client's own place in the shared buffer (RTP headers
// removed when the source uses RTP), everything there is in one gathered
// send, until the client leaves or falls too far behind, the relay stops,
// or the source is not a transport stream.
#pragma once

#include <cstdint>
#include <string>

#include "platform/event.h"
#include "relay/stream/multicast_receiver.h"

namespace relay {

// The first send holds at least this much of the group (whole datagrams).
inline constexpr std::uint32_t kFirstChunkSize = 13160;
inline constexpr int kSendStallMs = 60000;
inline constexpr int kEmptyQueuePollMs = 1000;
// After a send that took everything, the sender waits this long for more
// to gather before the next one.
inline constexpr int kCoalesceMs = 20;

// The client's side: its connected, non-blocking socket, the event that
// stops every connection of the server, and the longest the connection
// waits on a client that sends nothing (the server's idle time-out).
struct StreamClientSocket {
  int fd;
  platform::Event& shutdown;
  int idleMs;
};

// The heads the connection's program writes: before the data, or alone
// when the group stays silent.
struct StreamHeads {
  std::string streaming;
  std::string silent;
};

// `receiver` is the client's share of its group's receiver; it is given up
// on every way out (at once when the group stays silent). After the silent
// head the connection ends when the client leaves or sends anything, the
// relay stops, or the idle time-out passes. A client of a group already
// flowing starts at its latest start point. `sent`, when given, counts the
// bytes sent after the head and the format the probe found.
void runStreamClient(StreamClientSocket client, ReceiverPool::Lease receiver,
                     int recvTimeoutSeconds, const StreamHeads& heads,
                     SendCounters* sent = nullptr);

}  // namespace relay
