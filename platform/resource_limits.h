// Process-wide resource limits.
#pragma once

namespace platform {

// Raises the soft limit of open descriptors to the hard limit. A service
// started from a shell or a unit usually gets a soft limit of 1024, which a
// few hundred connections and streams use up long before memory runs out.
// Best effort: the limit stays as it was when the system refuses.
void raiseDescriptorLimit();

}  // namespace platform
