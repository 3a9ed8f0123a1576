// Any datagram on the SSDP group: a search that is answered must name one
// of the device's targets and a delay spread the random delay can use.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "relay/upnp/ssdp_advertiser.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view datagram(reinterpret_cast<const char*>(data), size);
  const std::optional<relay::SsdpSearch> search = relay::readSsdpSearch(datagram);
  if (!search) return 0;
  // The answer waits uniformly in [0, spread - 1] seconds.
  if (search->spread < 1) std::abort();
  if (relay::ssdpMessageIndices(search->type, false).empty()) std::abort();
  return 0;
}
