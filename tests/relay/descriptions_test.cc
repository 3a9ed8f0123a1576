#include "relay/upnp/descriptions.h"

#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <set>

namespace {

// Lines between CR LF pairs; a tail without CR LF comes back marked so that
// the line-end checks see it.
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

// Every value of <tag>value</tag> lines, in document order.
std::vector<std::string> valuesOf(const std::string& text, const std::string& tag) {
  std::vector<std::string> values;
  const std::regex pattern("^ *<" + tag + "(?: [^>]*)?>([^<]*)</" + tag + ">$");
  std::smatch match;
  for (const std::string& line : crlfLines(text)) {
    if (std::regex_match(line, match, pattern)) values.push_back(match[1]);
  }
  return values;
}

struct DocumentCase {
  std::size_t index;
  std::string_view rootLine;
  std::size_t bytes;  // 0: not fixed (the manufacturer lines are ours)
  std::size_t lines;
  int indentPerLevel;
};

const DocumentCase kDocuments[] = {
    {0, "<root xmlns=\"urn:schemas-upnp-org:device-1-0\" configId=\"18893\">", 0, 36, 0},
    {1, "<scpd xmlns=\"urn:schemas-upnp-org:service-1-0\" configId=\"18893\">", 5002, 132, 3},
    {2, "<scpd xmlns=\"urn:schemas-upnp-org:service-1-0\" configId=\"18893\">", 5399, 148, 3},
};

TEST(Descriptions, SizesRootsAndLineEnds) {
  const std::vector<std::string> documents = relay::builtInDocuments();
  ASSERT_EQ(documents.size(), std::size(kDocuments));
  for (const DocumentCase& c : kDocuments) {
    SCOPED_TRACE(c.index);
    const std::string& document = documents[c.index];
    if (c.bytes != 0) {
      EXPECT_EQ(document.size(), c.bytes);
    }
    EXPECT_TRUE(document.starts_with("<?xml version=\"1.0\""));
    EXPECT_TRUE(document.ends_with(">\r\n"));
    const std::vector<std::string> lines = crlfLines(document);
    ASSERT_EQ(lines.size(), c.lines);
    EXPECT_EQ(lines[1], c.rootLine);
    for (const std::string& line : lines) {
      EXPECT_EQ(line.find_first_of("\r\n\t"), std::string::npos) << line;
      EXPECT_FALSE(line.starts_with("<unterminated>")) << line;
    }
    for (char ch : document) EXPECT_LT(static_cast<unsigned char>(ch), 0x80);  // UTF-8 == ASCII
  }
}

// One element per line, end tags matching start tags, and the indentation
// the depth asks for: a checker for well-formedness and layout at once.
TEST(Descriptions, TagsNestAndIndentByDepth) {
  const std::vector<std::string> documents = relay::builtInDocuments();
  const std::regex openTag("<([A-Za-z:_]+)(?: [^>]*)?>");
  const std::regex closeTag("</([A-Za-z:_]+)>");
  const std::regex leaf("<([A-Za-z:_]+)(?: [^>]*)?>[^<]*</([A-Za-z:_]+)>");
  for (const DocumentCase& c : kDocuments) {
    SCOPED_TRACE(c.index);
    std::vector<std::string> open;
    std::smatch m;
    const std::vector<std::string> lines = crlfLines(documents[c.index]);
    for (std::size_t i = 1; i < lines.size(); ++i) {
      const std::string& line = lines[i];
      const std::size_t indent = line.find_first_not_of(' ');
      ASSERT_NE(indent, std::string::npos) << "blank line " << i;
      const std::string tag = line.substr(indent);
      const bool closing = std::regex_match(tag, m, closeTag);
      if (closing) {
        ASSERT_FALSE(open.empty()) << line;
        EXPECT_EQ(m[1], open.back()) << line;
        open.pop_back();
      }
      EXPECT_EQ(indent, open.size() * c.indentPerLevel) << line;
      if (closing) continue;
      if (std::regex_match(tag, m, leaf)) {
        EXPECT_EQ(m[1], m[2]) << line;
      } else if (std::regex_match(tag, m, openTag)) {
        open.push_back(m[1]);
      } else {
        ADD_FAILURE() << "not one element: " << line;
      }
    }
    EXPECT_TRUE(open.empty());
  }
}

struct ScpdCase {
  std::string name;
  std::string text;
  std::vector<std::string> actions;
  std::size_t stateVariables;
};

// Reordering actions keeps the byte count, so the order is checked here; the
// references must resolve or a control point rejects the service.
TEST(Descriptions, ScpdActionsInOrderAndReferencesResolve) {
  const ScpdCase cases[] = {
      {"ConnectionManager",
       relay::connectionManagerScpd(),
       {"GetCurrentConnectionIDs", "GetCurrentConnectionInfo", "GetProtocolInfo"},
       10},
      {"ContentDirectory",
       relay::contentDirectoryScpd(),
       {"Browse", "GetSearchCapabilities", "GetSortCapabilities", "GetSystemUpdateID"},
       12},
  };
  for (const ScpdCase& c : cases) {
    SCOPED_TRACE(c.name);
    // Names are the actions', the arguments' and the variables' together.
    const std::vector<std::string> names = valuesOf(c.text, "name");
    std::vector<std::string> actions;
    const std::vector<std::string> lines = crlfLines(c.text);
    for (std::size_t i = 1; i < lines.size(); ++i) {
      if (lines[i - 1] == "      <action>")
        actions.push_back(valuesOf(lines[i] + "\r\n", "name")[0]);
    }
    EXPECT_EQ(actions, c.actions);

    const std::vector<std::string> variables(names.end() - c.stateVariables, names.end());
    const std::set<std::string> declared(variables.begin(), variables.end());
    EXPECT_EQ(declared.size(), c.stateVariables) << "a state variable is declared twice";
    for (const std::string& related : valuesOf(c.text, "relatedStateVariable")) {
      EXPECT_TRUE(declared.count(related)) << related;
    }
  }
}

TEST(Descriptions, FixedIdentifiersHaveTheirForm) {
  EXPECT_TRUE(std::regex_match(std::string(relay::kDeviceUuid),
                               std::regex("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-"
                                          "[0-9A-F]{12}")));
  EXPECT_TRUE(std::regex_match(std::string(relay::kStreamPathToken), std::regex("[0-9A-F]{32}")));
}

TEST(Descriptions, DeviceCarriesTheUuidOnlyInTheUdn) {
  const std::string uuid(relay::kDeviceUuid);
  const std::string description = relay::deviceDescription();
  EXPECT_EQ(valuesOf(description, "UDN"), std::vector<std::string>{"uuid:" + uuid});
  EXPECT_EQ(description.find(uuid), description.rfind(uuid));

  // Another UUID changes that line and nothing else.
  const std::string other = "00000000-1111-2222-3333-444444444444";
  std::string expected = description;
  expected.replace(expected.find(uuid), uuid.size(), other);
  EXPECT_EQ(relay::deviceDescription(other), expected);
}

TEST(Descriptions, DeviceListsBothServicesWithRelativeLinks) {
  const std::string description = relay::deviceDescription();
  EXPECT_EQ(valuesOf(description, "serviceType"),
            (std::vector<std::string>{"urn:schemas-upnp-org:service:ConnectionManager:1",
                                      "urn:schemas-upnp-org:service:ContentDirectory:1"}));
  EXPECT_EQ(valuesOf(description, "SCPDURL"), (std::vector<std::string>{"cm.xml", "cds.xml"}));
  EXPECT_EQ(valuesOf(description, "controlURL"),
            (std::vector<std::string>{"/upnp/control/cm", "/upnp/control/cds"}));
  EXPECT_EQ(valuesOf(description, "eventSubURL"),
            (std::vector<std::string>{"/upnp/event/cm", "/upnp/event/cds"}));
  EXPECT_EQ(valuesOf(description, "presentationURL"), std::vector<std::string>{""});
  // Only the maker's web site is absolute; no address or port of ours.
  std::size_t absolute = 0;
  for (std::size_t at = 0; (at = description.find("://", at)) != std::string::npos; at += 3) {
    ++absolute;
  }
  EXPECT_EQ(absolute, 1u);
  EXPECT_EQ(valuesOf(description, "manufacturerURL").size(), 1u);
}

}  // namespace
