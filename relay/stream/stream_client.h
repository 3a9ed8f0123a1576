// The relay's main job: one HTTP connection receiving one multicast group.
// Runs on the connection's worker thread for the stream's whole life: waits
// for the first data, writes the head it is given, then copies every chunk to the
// client (RTP headers removed when the source uses RTP) until the client
// leaves or falls behind, the relay stops, or the source is not a transport
// stream.
#pragma once

#include <string>

#include "platform/event.h"
#include "relay/stream/multicast_receiver.h"

namespace relay {

inline constexpr int kSendStallMs = 60000;
inline constexpr int kEmptyQueuePollMs = 1000;
inline constexpr int kMostQueuedChunks = 10000;

// The client's side: its connected, non-blocking socket and the event that
// stops every connection of the server.
struct StreamClientSocket {
  int fd;
  platform::Event& shutdown;
};

// The heads the connection's program writes: before the data, or alone
// when the group stays silent.
struct StreamHeads {
  std::string streaming;
  std::string silent;
};

// `receiver` has its group, port and interface set. It is stopped on every
// way out; its owner destroys it afterwards and closes the connection.
// `sent`, when given, counts the bytes sent after the head and the format
// the probe found.
void runStreamClient(StreamClientSocket client, MulticastReceiver& receiver, int recvTimeoutSeconds,
                     const StreamHeads& heads, SendCounters* sent = nullptr);

}  // namespace relay
