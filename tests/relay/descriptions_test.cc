#include "relay/upnp/descriptions.h"

#include <gtest/gtest.h>

#include <regex>

namespace {

std::vector<std::string> crlfLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find("\r\n", start);
    if (end == std::string::npos) {
      lines.push_back("<unterminated>" + text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

TEST(Descriptions, ExactSizesAndLineEnds) {
  const std::vector<std::string> documents = relay::builtInDocuments();
  ASSERT_EQ(documents.size(), 3u);
  EXPECT_EQ(crlfLines(documents[0]).size(), 35u);
  EXPECT_EQ(documents[1].size(), 5002u);
  EXPECT_EQ(documents[2].size(), 5399u);
  for (const std::string& document : documents) {
    EXPECT_TRUE(document.ends_with("\r\n"));
    for (const std::string& line : crlfLines(document)) {
      EXPECT_EQ(line.find_first_of("\r\n\t"), std::string::npos) << line;
      EXPECT_FALSE(line.starts_with("<unterminated>")) << line;
    }
    for (char c : document) EXPECT_LT(static_cast<unsigned char>(c), 0x80);  // pure ASCII
  }
}

TEST(Descriptions, ScpdIndentationIsThreeSpacesPerLevel) {
  for (const std::string& scpd : {relay::connectionManagerScpd(), relay::contentDirectoryScpd()}) {
    int depth = 0;
    for (const std::string& line : crlfLines(scpd)) {
      if (line.starts_with("<?xml")) continue;
      const std::size_t indent = line.find_first_not_of(' ');
      const std::string tag = line.substr(indent);
      const bool closing = tag.starts_with("</");
      const bool selfContained = !closing && tag.find("</") != std::string::npos;
      if (closing) --depth;
      EXPECT_EQ(indent, std::size_t(depth) * 3) << line;
      if (!closing && !selfContained) ++depth;
    }
    EXPECT_EQ(depth, 0);
  }
}

TEST(Descriptions, UuidAndConfigIdAreTheFixedOnes) {
  EXPECT_TRUE(std::regex_match(std::string(relay::kDeviceUuid),
                               std::regex("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-"
                                          "[0-9A-F]{12}")));
  EXPECT_TRUE(std::regex_match(std::string(relay::kStreamPathToken), std::regex("[0-9A-F]{32}")));
  const std::vector<std::string> lines = crlfLines(relay::deviceDescription());
  EXPECT_EQ(lines[16], "<UDN>uuid:" + std::string(relay::kDeviceUuid) + "</UDN>");
  for (const std::string& document : relay::builtInDocuments()) {
    EXPECT_NE(document.find("configId=\"18893\""), std::string::npos);
  }
  // ConnectionManager is listed first; its links are relative.
  const std::string description = relay::deviceDescription();
  EXPECT_LT(description.find("<SCPDURL>cm.xml</SCPDURL>"),
            description.find("<SCPDURL>cds.xml</SCPDURL>"));
}

}  // namespace
