// Where a component writes its console lines: standard output in the
// programs, a capturing list in tests. Each call is one line without its
// line end.
#pragma once

#include <functional>
#include <string_view>

namespace common {

using LineWriter = std::function<void(std::string_view)>;

}  // namespace common
