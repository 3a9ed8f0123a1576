// Small helpers over narrow byte strings. Case changes are ASCII only: bytes
// outside A-Z / a-z pass through unchanged, so UTF-8 text is never damaged.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace common {

// Pieces between separators; empty pieces are dropped, so "a,,b," gives
// {"a", "b"} and an empty text gives nothing.
std::vector<std::string> split(std::string_view text, char separator);

// Removes every leading and trailing byte that occurs in `characters`.
std::string_view trim(std::string_view text, std::string_view characters = " \t\r\n");

std::string toUpperAscii(std::string_view text);
std::string toLowerAscii(std::string_view text);
bool equalsIgnoreCaseAscii(std::string_view a, std::string_view b);

inline bool startsWith(std::string_view text, std::string_view prefix) {
  return text.starts_with(prefix);
}
inline bool endsWith(std::string_view text, std::string_view suffix) {
  return text.ends_with(suffix);
}
inline bool contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

// The pieces one after the other, built in one allocation by appending.
// Preferred over chains of operator+ that start with a literal: g++ 12 at
// -O3 takes the insert at the front of a temporary for an overlapping copy
// (-Wrestrict).
template <typename... Pieces>
std::string concat(const Pieces&... pieces) {
  const std::string_view views[] = {std::string_view(pieces)...};
  std::size_t size = 0;
  for (const std::string_view view : views) size += view.size();
  std::string out;
  out.reserve(size);
  for (const std::string_view view : views) out.append(view);
  return out;
}

// Double quote, &, apostrophe, < and > as XML entities, appended to `out`;
// every other byte kept.
void appendXmlEscaped(std::string& out, std::string_view text);

}  // namespace common
