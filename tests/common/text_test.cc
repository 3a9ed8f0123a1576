#include "common/text.h"

#include <gtest/gtest.h>

namespace {

TEST(Text, SplitDropsEmptyPieces) {
  struct Case {
    std::string text;
    char separator;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"", ',', {}},
      {",,,", ',', {}},
      {"a", ',', {"a"}},
      {"a,b", ',', {"a", "b"}},
      {",a,,b,", ',', {"a", "b"}},
      {"GET /x HTTP/1.1", ' ', {"GET", "/x", "HTTP/1.1"}},
      {"a b", ',', {"a b"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(common::split(c.text, c.separator), c.expected) << '"' << c.text << '"';
  }
}

TEST(Text, TrimGivenCharactersAtBothEnds) {
  struct Case {
    std::string text;
    std::string characters;
    std::string expected;
  };
  const Case cases[] = {
      {"  a b  ", " ", "a b"}, {"\t\r\nx\r\n", " \t\r\n", "x"},
      {"    ", " ", ""},       {"", " ", ""},
      {"--x--", "-", "x"},     {"x", "", "x"},
      {" - x - ", "- ", "x"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(common::trim(c.text, c.characters), c.expected) << '"' << c.text << '"';
  }
}

TEST(Text, CaseChangesTouchOnlyAsciiLetters) {
  EXPECT_EQ(common::toUpperAscii("Keep-Alive 1.1 \xc3\xa9z"), "KEEP-ALIVE 1.1 \xc3\xa9Z");
  EXPECT_EQ(common::toLowerAscii("ACCEPT-Encoding \xc3\x89"), "accept-encoding \xc3\x89");
  EXPECT_TRUE(common::equalsIgnoreCaseAscii("Close", "cLOSE"));
  EXPECT_FALSE(common::equalsIgnoreCaseAscii("close", "closed"));
  EXPECT_FALSE(common::equalsIgnoreCaseAscii("\xc3\xa9", "\xc3\x89"));
}

TEST(Text, StartsEndsContains) {
  EXPECT_TRUE(common::startsWith("/vkx/239.0.0.1:1234", "/vkx/"));
  EXPECT_FALSE(common::startsWith("/vk", "/vkx/"));
  EXPECT_TRUE(common::endsWith("index.php", ".php"));
  EXPECT_FALSE(common::endsWith("php", ".php"));
  EXPECT_TRUE(common::contains("a:b", ":"));
  EXPECT_TRUE(common::contains("x", ""));
  EXPECT_FALSE(common::contains("", "x"));
}

}  // namespace
