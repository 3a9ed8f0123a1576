#include "common/parse_number.h"

#include <limits>
#include <type_traits>

namespace common {
namespace {

bool isStreamSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

template <typename T>
T parseNumber(std::string_view text) {
  std::size_t pos = 0;
  while (pos < text.size() && isStreamSpace(text[pos])) ++pos;

  bool negative = false;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    negative = text[pos] == '-';
    ++pos;
  }

  // The magnitude is collected unsigned; its limit is the largest value the
  // target can take with that sign (one more than the maximum for a negative
  // signed target).
  using Unsigned = std::make_unsigned_t<T>;
  Unsigned limit = std::numeric_limits<Unsigned>::max();
  if constexpr (std::is_signed_v<T>) {
    limit = negative ? Unsigned(Unsigned(std::numeric_limits<T>::max()) + 1)
                     : Unsigned(std::numeric_limits<T>::max());
  }

  Unsigned magnitude = 0;
  bool anyDigit = false;
  bool overflow = false;
  for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos) {
    anyDigit = true;
    const Unsigned digit = Unsigned(text[pos] - '0');
    if (magnitude > (limit - digit) / 10) {
      overflow = true;
    } else {
      magnitude = Unsigned(magnitude * 10 + digit);
    }
  }
  if (!anyDigit || overflow) throw ConversionError();

  if (negative) return T(Unsigned(Unsigned(0) - magnitude));
  return T(magnitude);
}

template std::uint16_t parseNumber<std::uint16_t>(std::string_view);
template std::uint32_t parseNumber<std::uint32_t>(std::string_view);
template std::uint64_t parseNumber<std::uint64_t>(std::string_view);
template std::int16_t parseNumber<std::int16_t>(std::string_view);
template std::int32_t parseNumber<std::int32_t>(std::string_view);
template std::int64_t parseNumber<std::int64_t>(std::string_view);

}  // namespace common
