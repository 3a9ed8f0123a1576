#include "platform/net_init.h"

#include <csignal>
#include <mutex>

namespace platform {
namespace {

std::mutex winsockLock;
bool winsockStarted = false;

}  // namespace

int ensureWinsock() {
  std::lock_guard lock(winsockLock);
  if (!winsockStarted) {
    std::signal(SIGPIPE, SIG_IGN);
    winsockStarted = true;
  }
  return 0;
}

}  // namespace platform
