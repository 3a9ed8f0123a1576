// Once-per-process network start. Every network component calls
// ensureWinsock() before its first socket (the name stays from the
// program's Windows origins, where a socket library had to be started). On
// Linux it makes a write to a closed peer an error return instead of a
// process-killing SIGPIPE. Returns 0.
#pragma once

namespace platform {

int ensureWinsock();

}  // namespace platform
