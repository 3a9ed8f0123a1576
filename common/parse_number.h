// Text to number, read the way formatted stream extraction reads one:
// leading white space is skipped, an optional sign, then decimal digits;
// whatever follows the digits is ignored. A minus sign on an unsigned target
// wraps the magnitude (as "-1" gives the type's maximum). No digits, or a
// value that does not fit the target, throws ConversionError.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string_view>

namespace common {

inline constexpr char kConversionFailedText[] = "Failed conversion from string";

class ConversionError : public std::runtime_error {
 public:
  ConversionError() : std::runtime_error(kConversionFailedText) {}
};

template <typename T>
T parseNumber(std::string_view text);

extern template std::uint16_t parseNumber<std::uint16_t>(std::string_view);
extern template std::uint32_t parseNumber<std::uint32_t>(std::string_view);
extern template std::uint64_t parseNumber<std::uint64_t>(std::string_view);
extern template std::int16_t parseNumber<std::int16_t>(std::string_view);
extern template std::int32_t parseNumber<std::int32_t>(std::string_view);
extern template std::int64_t parseNumber<std::int64_t>(std::string_view);

// The same reading without the exception: false when parseNumber would throw.
template <typename T>
bool tryParseNumber(std::string_view text, T& out) {
  try {
    out = parseNumber<T>(text);
    return true;
  } catch (const ConversionError&) {
    return false;
  }
}

}  // namespace common
