#include "relay/app/card_report.h"

namespace relay {

CardMatch reportNetworkCards(const std::vector<platform::NetworkCard>& cards,
                             const std::string& listenAddress, const std::string& receiveAddress,
                             const common::LineWriter& writeLine) {
  CardMatch match;
  writeLine("*************************");
  writeLine("Available Network Cards:");
  writeLine("*************************");
  for (std::size_t i = 0; i < cards.size(); ++i) {
    writeLine(std::to_string(i + 1) + ") " + cards[i]);
    if (cards[i] == listenAddress) {
      writeLine("   Listening interface for http server assigned.");
      match.listenFound = true;
    }
    if (cards[i] == receiveAddress) {
      writeLine("   NIC for multicast receiver assigned.");
      match.receiveFound = true;
    }
  }
  return match;
}

}  // namespace relay
