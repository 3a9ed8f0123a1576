#include "platform/resource_limits.h"

#include <sys/resource.h>

#include <fstream>

namespace platform {

void raiseDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == limit.rlim_max) return;
  rlim_t wanted = limit.rlim_max;
  if (wanted == RLIM_INFINITY) {
    // An unlimited hard limit still stops at the kernel's per-process
    // ceiling, which setrlimit insists on.
    std::ifstream ceiling("/proc/sys/fs/nr_open");
    unsigned long long nrOpen = 0;
    if (!(ceiling >> nrOpen) || nrOpen <= limit.rlim_cur) return;
    wanted = rlim_t(nrOpen);
  }
  limit.rlim_cur = wanted;
  ::setrlimit(RLIMIT_NOFILE, &limit);
}

}  // namespace platform
