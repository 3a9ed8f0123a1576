#include "common/utf8.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const std::string R = "\xEF\xBF\xBD";  // U+FFFD

TEST(Utf8, CleanReplacesIllFormedSequencesAndDropsControls) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      {"plain\ttab", "plain\ttab"},
      {"Caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x93\xBA \xEF\xBB\xBF",
       "Caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x93\xBA \xEF\xBB\xBF"},
      {"\xED\x9F\xBF \xEE\x80\x80 \xEF\xBF\xBD \xF4\x8F\xBF\xBF",
       "\xED\x9F\xBF \xEE\x80\x80 \xEF\xBF\xBD \xF4\x8F\xBF\xBF"},
      {"Caf\xE9", "Caf" + R},  // Latin-1
      {"\xE9t\xE9", R + "t" + R},
      {"a\x01"
       "b\x1F"
       "c\x7F"
       "d\re\n",
       "abcde"},  // C0 and DEL
      {"\xC2\x80x\xC2\x9F"
       "y\xC2\xA0",
       "xy\xC2\xA0"},       // C1 dropped, NBSP kept
      {"\x80\xBF", R + R},  // stray continuations
      {"\xC0\xAF \xE0\x80\xAF \xF0\x80\x80\xAF", R + R + " " + R + R + R + " " + R + R + R + R},
      {"\xED\xA0\x80", R + R + R},                                 // surrogate
      {"\xF4\x90\x80\x80 \xF5\x80", R + R + R + R + " " + R + R},  // past U+10FFFF
      {"\xE2\x82"
       "x\xF0\x9F\x93",
       R + "x" + R},                        // truncated: one each
      {"\xEF\xBF\xBE\xEF\xBF\xBF", R + R},  // not characters
  };
  for (const auto& [text, clean] : cases) {
    EXPECT_EQ(common::cleanUtf8(text), clean) << testing::PrintToString(text);
  }
}

}  // namespace
