#include "relay/upnp/guide.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "engine/compression.h"

namespace {

using relay::GuideChannelKey;
using relay::GuideLoad;
using relay::loadGuide;

const std::int64_t kNow = *relay::parseXmltvTime("20260110120000 +0000");

class GuideFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/guide_test_XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string write(const std::string& name, const std::string& bytes) {
    const std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }

  std::string dir_;
};

std::string document(const std::string& body, const std::string& doctype = "") {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n" + doctype + "<tv>\n" + body + "</tv>\n";
}

std::string channel(const std::string& id, const std::vector<std::string>& names) {
  std::string out = "<channel id=\"" + id + "\">";
  for (const std::string& name : names) out += "<display-name>" + name + "</display-name>";
  return out + "</channel>\n";
}

std::string programme(const std::string& channel, const std::string& start, const std::string& stop,
                      const std::string& title) {
  std::string out = "<programme start=\"" + start + "\"";
  if (!stop.empty()) out += " stop=\"" + stop + "\"";
  return out + " channel=\"" + channel + "\"><title lang=\"en\">" + title + "</title></programme>";
}

// Every match of `pattern`'s first group, in order.
std::vector<std::string> all(const std::string& text, const std::string& pattern) {
  std::vector<std::string> out;
  const std::regex re(pattern);
  for (auto it = std::sregex_iterator(text.begin(), text.end(), re); it != std::sregex_iterator();
       ++it) {
    out.push_back((*it)[1]);
  }
  return out;
}

TEST_F(GuideFiles, KeepsTheChannelsThePlaylistLinks) {
  const std::string path =
      write("guide.xml",
            document(channel("a.id", {"Something else"}) + channel("b.guide", {"Other", "BRAVO"}) +
                     channel("c.guide", {"charlie hd"}) + channel("d.guide", {"Delta"}) +
                     channel("e.guide", {"Échos"}) +
                     programme("d.guide", "20260110110000 +0000", "20260110130000 +0000", "D0") +
                     programme("a.id", "20260110110000 +0000", "20260110130000 +0000", "A1") +
                     programme("b.guide", "20260110110000 +0000", "20260110130000 +0000", "B1") +
                     programme("c.guide", "20260110110000 +0000", "20260110130000 +0000", "C1") +
                     programme("d.guide", "20260110110000 +0000", "20260110130000 +0000", "D1") +
                     programme("e.guide", "20260110110000 +0000", "20260110130000 +0000", "E1")));
  const std::vector<GuideChannelKey> keys = {
      {"a.id", "", "Alpha"},           // by id, whatever its names
      {"", "", "Bravo"},               // by title, ignoring case; keeps the guide's id
      {"c.id", "Charlie HD", "Char"},  // by tvg-name; takes the playlist's id
      {"", "", "échos"},               // case folding is ASCII only: no link
      {"x.id", "", "Nothing"},
  };
  const GuideLoad load = loadGuide(path, keys, kNow);
  ASSERT_TRUE(load.guide) << load.error;
  const std::string& xml = load.guide->xml;
  EXPECT_EQ(all(xml, "<channel id=\"([^\"]*)\""),
            (std::vector<std::string>{"a.id", "b.guide", "c.id"}));
  EXPECT_EQ(all(xml, "<programme channel=\"([^\"]*)\""),
            (std::vector<std::string>{"a.id", "b.guide", "c.id"}));
  EXPECT_EQ(all(xml, "<title lang=\"en\">([^<]*)<"), (std::vector<std::string>{"A1", "B1", "C1"}));
  EXPECT_EQ(xml.find("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE tv SYSTEM "
                     "\"xmltv.dtd\">\n<tv generator-info-name=\"tessaran\">\n"),
            0u);
  // Every channel before every programme.
  EXPECT_LT(xml.rfind("<channel "), xml.find("<programme "));
  EXPECT_EQ(load.guide->scheduleOfKey, (std::vector<std::int32_t>{0, 1, 2, -1, -1}));
}

TEST_F(GuideFiles, KeepsProgrammesFromSixHoursAgoToEightDaysAhead) {
  struct Row {
    const char* start;
    const char* stop;
    bool kept;
  };
  const Row rows[] = {
      {"20260110050000 +0000", "20260110060000 +0000", false},  // ended 6 h ago
      {"20260110050000 +0000", "20260110060100 +0000", true},   // ends a minute later
      {"20260110060000 +0100", "20260110070000 +0100", false},  // the first, an hour east
      {"20260118115900 +0000", "20260118130000 +0000", true},   // starts before 8 days
      {"20260118120000 +0000", "20260118130000 +0000", false},  // starts at 8 days
      {"20260110120000", "", true},                             // no zone, no stop
      {"202601101200", "202601101300", true},                   // no seconds
      {"tonight", "20260110130000 +0000", false},
      {"20260110120000 +0000", "20260110130000 +00", false},
      {"20261310120000 +0000", "20261310130000 +0000", false},  // month 13
      {"", "20260110130000 +0000", false},
  };
  std::string body = channel("a.id", {"A"});
  for (std::size_t i = 0; i < std::size(rows); ++i) {
    body += programme("a.id", rows[i].start, rows[i].stop, "row" + std::to_string(i));
  }
  const GuideLoad load = loadGuide(write("guide.xml", document(body)), {{"a.id", "", ""}}, kNow);
  ASSERT_TRUE(load.guide) << load.error;
  for (std::size_t i = 0; i < std::size(rows); ++i) {
    const bool found = load.guide->xml.find(">row" + std::to_string(i) + "<") != std::string::npos;
    EXPECT_EQ(found, rows[i].kept) << "row " << i << ": " << rows[i].start << " " << rows[i].stop;
  }
}

TEST_F(GuideFiles, NowAndNext) {
  const std::string body =
      channel("a.id", {"A"}) +
      programme("a.id", "20260110100000 +0000", "20260110110000 +0000", "P1") +
      programme("a.id", "20260110120000 +0100", "20260110133000 +0100", "P2") +  // 11:00-12:30
      programme("a.id", "20260110140000 +0000", "20260110150000 +0000", "P4") +  // out of order
      programme("a.id", "20260110123000 +0000", "", "P3");                       // until P4
  const GuideLoad load =
      loadGuide(write("guide.xml", document(body)), {{"", "", "a"}, {"", "", "b"}}, kNow);
  ASSERT_TRUE(load.guide) << load.error;
  struct Row {
    std::size_t key;
    const char* time;
    const char* now;
    const char* next;
  };
  const Row rows[] = {
      {0, "20260110090000 +0000", "", "P1"},   {0, "20260110100000 +0000", "P1", "P2"},
      {0, "20260110105959 +0000", "P1", "P2"}, {0, "20260110110000 +0000", "P2", "P3"},
      {0, "20260110124500 +0000", "P3", "P4"}, {0, "20260110150000 +0000", "", ""},
      {1, "20260110100000 +0000", "", ""},     {7, "20260110100000 +0000", "", ""},
  };
  for (const Row& row : rows) {
    const relay::NowAndNext found =
        load.guide->nowAndNext(row.key, *relay::parseXmltvTime(row.time));
    EXPECT_EQ(found.now ? found.now->title : "", row.now) << row.key << " " << row.time;
    EXPECT_EQ(found.next ? found.next->title : "", row.next) << row.key << " " << row.time;
  }
}

long peakKilobytes() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// A guide of several megabytes: a plain file is read in pieces and the
// kept programmes' texts fill more than one block, so a programme lies
// across every kind of seam. Plain and gzip give the same document, with
// every kept programme once and in order, and values read the short way
// (plain ASCII) and the long way (other text, character references)
// written alike.
TEST_F(GuideFiles, LargeGuidesKeepEveryProgrammeAcrossReadsAndBlocks) {
  const std::string values[] = {"plain", "caf\xC3\xA9", "a &amp; b", "x&#38;y", "tab\tand &lt;"};
  // An attribute's tab is a blank to the parser.
  const std::string written[] = {"plain", "caf\xC3\xA9", "a &amp; b", "x&amp;y", "tab and &lt;"};
  std::string body = channel("a.id", {"A"}) + channel("b.id", {"B"});
  const int count = 24000;  // 28 s apart, all within the kept window
  const std::int64_t first = kNow - 5 * 3600;
  auto xmltv = [](std::int64_t t) {
    const std::time_t seconds = t;
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%d%H%M%S +0000", std::gmtime(&seconds));
    return std::string(text);
  };
  for (int i = 0; i < count; ++i) {
    const std::string start = xmltv(first + i * 28);
    const std::string& value = values[std::size_t(i) % std::size(values)];
    for (const char* id : {"b.id", "a.id"}) {
      body += "<programme start=\"" + start + "\" channel=\"" + id + "\" x=\"" + value +
              "\">\n  <title>Show " + std::to_string(i) + "</title>\n  <desc>" + value +
              std::string(120, '.') + "</desc>\n</programme>\n";
    }
  }
  const std::string plain = document(body);
  ASSERT_GT(plain.size(), 2u * 256 * 1024);
  const std::string gzip = engine::compressBody(true, plain, 6, 0);
  std::string expected;
  for (const auto& [name, bytes] :
       {std::pair{"large.xml", plain}, std::pair{"large.xml.gz", gzip}}) {
    const GuideLoad load = loadGuide(write(name, bytes), {{"a.id", "", ""}}, kNow);
    ASSERT_TRUE(load.guide) << name << ": " << load.error;
    const std::string& xml = load.guide->xml;
    EXPECT_EQ(load.guide->programmeCount, std::size_t(count)) << name;
    ASSERT_GT(xml.size(), 4u << 20) << name;  // more than one block of kept text
    const std::vector<std::string> titles = all(xml, "<title>Show ([0-9]+)</title>");
    ASSERT_EQ(titles.size(), std::size_t(count)) << name;
    for (int i = 0; i < count; ++i) {
      ASSERT_EQ(titles[std::size_t(i)], std::to_string(i)) << name;
    }
    const std::vector<std::string> attributes =
        all(xml, "channel=\"a.id\" start=\"[^\"]*\" x=\"([^\"]*)\"");
    ASSERT_EQ(attributes.size(), std::size_t(count)) << name;
    for (std::size_t i = 0; i < std::size(written); ++i) {
      EXPECT_EQ(attributes[i], written[i]) << name << " attribute " << i;
    }
    EXPECT_EQ(xml.find("b.id"), std::string::npos) << name;
    if (expected.empty()) {
      expected = xml;
    } else {
      EXPECT_EQ(xml, expected) << name << " differs from the plain file's";
    }
    // A stop ends the same load part-way.
    platform::Event stop(platform::Event::Reset::Manual);
    stop.set();
    const GuideLoad stopped = loadGuide(write(name, bytes), {{"a.id", "", ""}}, kNow, &stop);
    EXPECT_FALSE(stopped.guide) << name;
    EXPECT_EQ(stopped.error, "stopped") << name;
  }
}

TEST_F(GuideFiles, HostileFilesExpandNothingAndFailInOneLine) {
  const std::string good = document(
      channel("a.id", {"A &amp; B"}) +
      programme("a.id", "20260110110000 +0000", "20260110130000 +0000", "Good &lt;show&gt;"));
  std::string laughs = "<!DOCTYPE tv [\n<!ENTITY lol \"lol\">\n";
  for (int i = 1; i <= 9; ++i) {
    const std::string previous = i == 1 ? "lol" : "lol" + std::to_string(i - 1);
    laughs += "<!ENTITY lol" + std::to_string(i) + " \"";
    for (int k = 0; k < 10; ++k) laughs += "&" + previous + ";";
    laughs += "\">\n";
  }
  laughs += "]>\n";
  const std::string xxe = "<!DOCTYPE tv [<!ENTITY secret SYSTEM \"file:///etc/passwd\">]>\n";
  const std::string gzip = engine::compressBody(true, good, 6, 0);
  std::string bomb = "<?xml version=\"1.0\"?>\n<tv>" + channel("a.id", {"A"});
  bomb += "<programme start=\"20260110110000 +0000\" channel=\"a.id\"><title>";
  bomb += std::string(11 << 20, 'x');

  struct Row {
    const char* name;
    std::string bytes;
    const char* error;  // how the one line starts; "" when it loads, nullptr for either
  };
  const Row rows[] = {
      {"laughs.xml", document(channel("a.id", {"&lol9;"}), laughs), nullptr},
      {"laughs-attribute.xml",
       document("<channel id=\"a.id\" x=\"&lol9;\"><display-name>A</display-name></channel>",
                laughs),
       nullptr},
      {"xxe.xml", document(channel("a.id", {"A&secret;"}), xxe), ""},
      {"xxe-attribute.xml",
       document("<channel id=\"a.id\" x=\"&secret;\"><display-name>A</display-name></channel>",
                xxe),
       nullptr},
      {"xxe-dtd.xml", "<?xml version=\"1.0\"?>\n<!DOCTYPE tv SYSTEM \"file:///etc/passwd\">\n<tv/>",
       ""},
      {"guide.xml", gzip, ""},  // gzip told by content, not by name
      {"truncated.xml.gz", gzip.substr(0, gzip.size() / 2), "truncated gzip"},
      {"error.html",
       "<!DOCTYPE html>\n<html><head><title>502 Bad Gateway</title></head><body>oops</body></html>",
       "not XMLTV"},
      {"text.xml", "502 Bad Gateway\n", "not XMLTV"},
      {"empty.xml", "", "not XMLTV"},
      {"halfway.xml", good.substr(0, good.size() - 30), "XML error at line "},
      {"bomb.xml", bomb, "XML error at line "},
  };
  for (const Row& row : rows) {
    const long before = peakKilobytes();
    const GuideLoad load = loadGuide(write(row.name, row.bytes), {{"a.id", "", ""}}, kNow);
    // Nothing grows with what an entity would expand to.
    EXPECT_LT(peakKilobytes() - before, 64 * 1024) << row.name;
    if (row.error == nullptr && !load.guide) {
      EXPECT_EQ(load.error.find('\n'), std::string::npos) << row.name;
    } else if (row.error == nullptr || *row.error == '\0') {
      ASSERT_TRUE(load.guide) << row.name << ": " << load.error;
      const std::string& xml = load.guide->xml;
      EXPECT_EQ(xml.find("lollol"), std::string::npos) << row.name;
      EXPECT_EQ(xml.find("root:"), std::string::npos) << row.name;
      EXPECT_LT(xml.size(), 1000u) << row.name;
    } else {
      EXPECT_FALSE(load.guide) << row.name;
      EXPECT_EQ(load.error.rfind(row.error, 0), 0u) << row.name << ": " << load.error;
      EXPECT_EQ(load.error.find('\n'), std::string::npos) << row.name;
    }
  }
  const GuideLoad gz = loadGuide(write("again.xml", gzip), {{"a.id", "", ""}}, kNow);
  ASSERT_TRUE(gz.guide);
  EXPECT_NE(gz.guide->xml.find("<display-name>A &amp; B</display-name>"), std::string::npos);
  EXPECT_NE(gz.guide->xml.find(">Good &lt;show&gt;</title>"), std::string::npos);
  EXPECT_EQ(loadGuide(dir_ + "/missing.xml", {}, kNow).error,
            "cannot open " + dir_ + "/missing.xml");
}

}  // namespace
