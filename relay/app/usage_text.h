#pragma once

#include "common/line_writer.h"

namespace relay {

// The relay's banner and usage block, line by line.
void showUsage(const common::LineWriter& writeLine);

}  // namespace relay
