// The card list as the relay prints it, and which cards were chosen.
#pragma once

#include <string>
#include <vector>

#include "common/line_writer.h"
#include "platform/network_cards.h"

namespace relay {

struct CardMatch {
  bool listenFound = false;
  bool receiveFound = false;
};

// Prints the numbered card list with an assignment line under each card
// whose text equals the listening or receiving address exactly.
CardMatch reportNetworkCards(const std::vector<platform::NetworkCard>& cards,
                             const std::string& listenAddress, const std::string& receiveAddress,
                             const common::LineWriter& writeLine);

}  // namespace relay
