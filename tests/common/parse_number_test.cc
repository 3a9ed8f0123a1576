#include "common/parse_number.h"

#include <gtest/gtest.h>

#include <optional>
#include <sstream>
#include <string>

namespace {

using common::ConversionError;
using common::parseNumber;

template <typename T>
struct Case {
  std::string text;
  std::optional<T> expected;  // nullopt: the conversion must fail
};

// Each case is also read by the standard stream extraction, which the
// parser imitates; a disagreement means the two have drifted apart.
template <typename T>
void checkCases(const std::vector<Case<T>>& cases) {
  for (const Case<T>& c : cases) {
    SCOPED_TRACE("input \"" + c.text + "\"");
    if (c.expected) {
      EXPECT_EQ(parseNumber<T>(c.text), *c.expected);
    } else {
      EXPECT_THROW(parseNumber<T>(c.text), ConversionError);
    }
    std::istringstream stream(c.text);
    T streamValue{};
    stream >> streamValue;
    EXPECT_EQ(!stream.fail(), c.expected.has_value());
    if (c.expected && !stream.fail()) {
      EXPECT_EQ(streamValue, *c.expected);
    }
  }
}

TEST(ParseNumber, Unsigned16) {
  checkCases<std::uint16_t>({
      {"0", 0},
      {"65535", 65535},
      {"65536", std::nullopt},
      {"-1", 65535},  // a minus sign wraps an unsigned target
      {"-65535", 1},
      {"-65536", std::nullopt},
      {"  42", 42},
      {"\t\r\n\v\f42", 42},
      {"+7", 7},
      {"00012", 12},
      {"8000abc", 8000},
      {"12 34", 12},
      {"0x10", 0},
      {"", std::nullopt},
      {"   ", std::nullopt},
      {"abc", std::nullopt},
      {"-", std::nullopt},
      {"+", std::nullopt},
      {"- 5", std::nullopt},
      {"+-5", std::nullopt},
      {"99999999999999999999999", std::nullopt},
  });
}

TEST(ParseNumber, Signed16) {
  checkCases<std::int16_t>({
      {"32767", 32767},
      {"32768", std::nullopt},
      {"-32768", -32768},
      {"-32769", std::nullopt},
      {"-0", 0},
      {" -12x", -12},
  });
}

TEST(ParseNumber, ThirtyTwoBit) {
  checkCases<std::int32_t>({
      {"2147483647", 2147483647},
      {"2147483648", std::nullopt},
      {"-2147483648", INT32_MIN},
      {"-2147483649", std::nullopt},
  });
  checkCases<std::uint32_t>({
      {"4294967295", 4294967295u},
      {"4294967296", std::nullopt},
      {"-1", 4294967295u},
      {"-4294967295", 1u},
  });
}

TEST(ParseNumber, SixtyFourBit) {
  checkCases<std::int64_t>({
      {"9223372036854775807", INT64_MAX},
      {"9223372036854775808", std::nullopt},
      {"-9223372036854775808", INT64_MIN},
      {"-9223372036854775809", std::nullopt},
  });
  checkCases<std::uint64_t>({
      {"18446744073709551615", UINT64_MAX},
      {"18446744073709551616", std::nullopt},
      {"-18446744073709551615", 1u},
      {"4294967296", 4294967296u},
  });
}

TEST(ParseNumber, ErrorCarriesTheConversionText) {
  try {
    parseNumber<std::uint16_t>("none");
    FAIL() << "no exception";
  } catch (const ConversionError& e) {
    EXPECT_STREQ(e.what(), "Failed conversion from string");
  }
}

TEST(ParseNumber, TryParseLeavesTargetOnFailure) {
  std::int32_t value = 77;
  EXPECT_FALSE(common::tryParseNumber<std::int32_t>("x", value));
  EXPECT_EQ(value, 77);
  EXPECT_TRUE(common::tryParseNumber<std::int32_t>("5", value));
  EXPECT_EQ(value, 5);
}

}  // namespace
