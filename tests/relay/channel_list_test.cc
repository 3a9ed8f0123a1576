#include "relay/upnp/channel_list.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "common/text.h"

namespace {

using relay::Channel;
using relay::ChannelList;

// "{number 'title' [source@]address:port groups logo=URL}", source, groups
// and logo only when set.
std::string describe(const Channel& c) {
  std::string text =
      common::concat("{", std::to_string(c.number), " '", c.title, "' ", c.source,
                     c.source.empty() ? "" : "@", c.address, ":", std::to_string(c.port));
  if (!c.groups.empty()) text += " " + c.groups;
  if (!c.logo.empty()) text += " logo=" + c.logo;
  return text + "}";
}

// One line per group: "[name]" followed by its entries.
std::vector<std::string> describe(const ChannelList& list) {
  std::vector<std::string> groups;
  for (std::size_t i = 0; i < list.groupNames.size() && i < list.groupEntries.size(); ++i) {
    std::string line = common::concat("[", list.groupNames[i], "]");
    for (const Channel& c : list.groupEntries[i]) line.append(" ").append(describe(c));
    groups.push_back(line);
  }
  return groups;
}

// What every loaded list must satisfy, whatever the file held.
void checkInvariants(const ChannelList& list) {
  ASSERT_FALSE(list.groupNames.empty());
  EXPECT_EQ(list.groupNames[0], "All");
  ASSERT_EQ(list.groupEntries.size(), list.groupNames.size());
  EXPECT_EQ(std::set<std::string>(list.groupNames.begin(), list.groupNames.end()).size(),
            list.groupNames.size())
      << "group names repeat";

  ASSERT_EQ(list.groupEntries[0].size(), list.channels.size());
  for (std::size_t k = 0; k < list.channels.size(); ++k) {
    EXPECT_EQ(list.channels[k].listIndex, k);
    EXPECT_EQ(describe(list.groupEntries[0][k]), describe(list.channels[k])) << "All #" << k;
    if (k > 0) {
      EXPECT_LE(list.channels[k - 1].number, list.channels[k].number) << "unsorted";
    }
  }

  std::size_t k = 0;
  for (std::size_t i = 0; i < list.groupEntries.size(); ++i) {
    for (const Channel& copy : list.groupEntries[i]) {
      ASSERT_LT(k, list.entries.size());
      const Channel& entry = list.entries[k];
      EXPECT_EQ(entry.id, k + 1);
      EXPECT_EQ(copy.id, entry.id);
      EXPECT_EQ(copy.groupIndex, std::int32_t(i));
      EXPECT_EQ(entry.groupIndex, std::int32_t(i));
      EXPECT_EQ(describe(entry), describe(copy));
      // The copy leads back to its channel, where the guide keys are.
      ASSERT_LT(entry.listIndex, list.channels.size());
      EXPECT_EQ(describe(entry), describe(list.channels[entry.listIndex]));
      EXPECT_EQ(copy.listIndex, entry.listIndex);
      ++k;
    }
  }
  EXPECT_EQ(k, list.entries.size());
}

struct Case {
  const char* name;
  std::string text;
  std::vector<std::string> groups;  // describe() of the loaded list
  std::vector<std::string> console = {};
};

const std::string kBom = "\xEF\xBB\xBF";
const std::string kLast = std::to_string(relay::kUnnumbered);

TEST(ChannelList, LoadsPlaylistText) {
  const Case cases[] = {
      {"only the marker", "#EXTM3U\n", {"[All]"}},
      {"empty text", "", {"[All]"}},
      {"empty first line", "\n#EXTM3U\n#EXTINF:1,A\nudp://@239.0.0.1:1234\n", {"[All]"}},
      {"marker after a byte-order mark",
       kBom + "#EXTM3U\n#EXTINF:1,A\nudp://@239.0.0.1:1234\n",
       {"[All] {1 'A' 239.0.0.1:1234}"}},
      {"marker inside the first line",
       "x #EXTM3U tvg-shift=0\n#EXTINF:1,A\nudp://@239.0.0.1:1234",
       {"[All] {1 'A' 239.0.0.1:1234}"}},
      {"first line without the marker",
       "#EXTINF:-1,A\nudp://@239.0.0.1:1234\n#EXTM3U\n#EXTTV:News\nudp://@239.0.0.2:1234\n",
       {"[All]"}},
      {"three udp forms",
       "#EXTM3U\n#EXTINF:1,A\nudp://@239.255.0.1:5002\n#EXTINF:2,B\nudp://239.255.0.1:5002\n"
       "#EXTINF:3,C\nudp://10.0.0.5@239.255.0.1:5002\n",
       {"[All] {1 'A' 239.255.0.1:5002} {2 'B' 239.255.0.1:5002} {3 'C' "
        "10.0.0.5@239.255.0.1:5002}"}},
      {"a source kept as written, checked where it is used",
       "#EXTM3U\n#EXTINF:1,A\nudp://host@232.0.0.1:1\n#EXTINF:2,B\nrtp://\x01\xFF@232.0.0.2:1\n",
       {"[All] {1 'A' host@232.0.0.1:1} {2 'B' \xEF\xBF\xBD@232.0.0.2:1}"},
       {"Playlist line 5: invalid UTF-8 or control characters, text cleaned (first such line)."}},
      {"sorted by unsigned number, ties in file order",
       "#EXTM3U\n#EXTINF:-1,Z\nudp://@239.0.0.1:1\n#EXTINF:20,T\nudp://@239.0.0.2:1\n"
       "#EXTINF:3,D\nudp://@239.0.0.3:1\n#EXTINF:3,E\nudp://@239.0.0.4:1\n"
       "udp://@239.0.0.5:1\n",
       {"[All] {3 'D' 239.0.0.3:1} {3 'E' 239.0.0.4:1} {20 'T' 239.0.0.2:1} {" + kLast +
        " 'Z' 239.0.0.1:1} {" + kLast + " '' 239.0.0.5:1}"}},
      {"one channel in two groups",
       "#EXTM3U\n#EXTINF:1,A\n#EXTTV:News,Sport;ru;2\nudp://@239.0.0.1:1\n",
       {"[All] {1 'A' 239.0.0.1:1 News,Sport}", "[News] {1 'A' 239.0.0.1:1 News,Sport}",
        "[Sport] {1 'A' 239.0.0.1:1 News,Sport}"}},
      {"group names are not trimmed",
       "#EXTM3U\n#EXTINF:1,A\n#EXTTV:News, Sport\nudp://@239.0.0.1:1\n"
       "#EXTINF:2,B\n#EXTTV:Sport\nudp://@239.0.0.2:1\n",
       {"[All] {1 'A' 239.0.0.1:1 News, Sport} {2 'B' 239.0.0.2:1 Sport}",
        "[News] {1 'A' 239.0.0.1:1 News, Sport}", "[ Sport] {1 'A' 239.0.0.1:1 News, Sport}",
        "[Sport] {2 'B' 239.0.0.2:1 Sport}"}},
      {"groups in order of first appearance",
       "#EXTM3U\n#EXTINF:9,A\n#EXTTV:News\nudp://@239.0.0.1:1\n"
       "#EXTINF:2,B\n#EXTTV:,News,,Sport,News\nudp://@239.0.0.2:1\n",
       {"[All] {2 'B' 239.0.0.2:1 ,News,,Sport,News} {9 'A' 239.0.0.1:1 News}",
        "[News] {2 'B' 239.0.0.2:1 ,News,,Sport,News} {9 'A' 239.0.0.1:1 News}",
        "[Sport] {2 'B' 239.0.0.2:1 ,News,,Sport,News}"}},
      {"All is not a second group",
       "#EXTM3U\n#EXTINF:1,A\n#EXTTV:All\nudp://@239.0.0.1:1\n",
       {"[All] {1 'A' 239.0.0.1:1 All}"}},
      {"groups of dropped channels stay empty",
       "#EXTM3U\n#EXTINF:1,A\n#EXTTV:Lost\nudp://@:1234\n#EXTINF:2,B\nudp://@239.0.0.2:1\n"
       "#EXTINF:3,C\n#EXTTV:Tail\n",
       {"[All] {2 'B' 239.0.0.2:1}", "[Lost]", "[Tail]"}},
      {"ignored lines keep the pending channel",
       "#EXTM3U\n#EXTINF:-1,A\n#EXTTV:News\nhttp://10.0.0.1/a.ts\nrtsp://10.0.0.2/b\n"
       "#EXTVLCOPT:x\nudp://@239.1.1.1:1234\n",
       {"[All] {" + kLast + " 'A' 239.1.1.1:1234 News}",
        "[News] {" + kLast + " 'A' 239.1.1.1:1234 News}"}},
      {"udp line ends the pending channel",
       "#EXTM3U\n#EXTINF:1,A\n#EXTTV:News\nudp://@239.0.0.1:1\nudp://@239.0.0.2:2\n",
       {"[All] {1 'A' 239.0.0.1:1 News} {" + kLast + " '' 239.0.0.2:2}",
        "[News] {1 'A' 239.0.0.1:1 News}"}},
      {"later lines replace earlier ones",
       "#EXTM3U\n#EXTINF:1,A\n#EXTTV:News\n#EXTINF:2,B\n#EXTTV:Sport\n#EXTTV\n"
       "udp://@239.0.0.1:1\n",
       {"[All] {2 'B' 239.0.0.1:1 Sport}", "[News]", "[Sport] {2 'B' 239.0.0.1:1 Sport}"}},
      {"prefixes are case-sensitive",
       "#EXTM3U\n#extinf:1,A\n#EXTTv:News\nUDP://@239.0.0.1:1\nudp://@239.0.0.2:2\n",
       {"[All] {" + kLast + " '' 239.0.0.2:2}"}},
      {"title forms",
       "#EXTM3U\n"
       "#EXTINF:0,12 - News 24\nudp://@239.0.0.1:1\n"
       "#EXTINF:0,7 - Sky - Info\nudp://@239.0.0.2:1\n"
       "#EXTINF:0,Movies\nudp://@239.0.0.3:1\n"
       "#EXTINF:5,Movies\nudp://@239.0.0.4:1\n"
       "#EXTINF:  6  , \tSpaced  Out\t \nudp://@239.0.0.5:1\n"
       "#EXTINF: 0 ,8-Tight\nudp://@239.0.0.6:1\n"
       "#EXTINF:00,9 - Kept\nudp://@239.0.0.7:1\n"
       "#EXTINF:42\nudp://@239.0.0.8:1\n"
       "#EXTINF:10,A:B,C\nudp://@239.0.0.9:1\n",
       {"[All] {0 '' 239.0.0.3:1} {0 '9 - Kept' 239.0.0.7:1} {5 'Movies' 239.0.0.4:1}"
        " {6 '\tSpaced  Out\t' 239.0.0.5:1} {7 'Sky - Info' 239.0.0.2:1} {8 'Tight' 239.0.0.6:1}"
        " {10 'A:B,C' 239.0.0.9:1} {12 'News 24' 239.0.0.1:1} {42 '' 239.0.0.8:1}"}},
      {"numbers that do not convert sort last",
       "#EXTM3U\n#EXTINF:abc,A\nudp://@239.0.0.1:1\n#EXTINF:4294967296,B\nudp://@239.0.0.2:1\n"
       "#EXTINF:0,x - C\nudp://@239.0.0.3:1\n#EXTINF:,D\nudp://@239.0.0.4:1\n"
       "#EXTINF:1,E\nudp://@239.0.0.5:1\n",
       {"[All] {1 'E' 239.0.0.5:1} {" + kLast + " 'A' 239.0.0.1:1} {" + kLast +
        " 'B' 239.0.0.2:1} {" + kLast + " 'C' 239.0.0.3:1} {" + kLast + " 'D' 239.0.0.4:1}"}},
      {"ports that do not convert drop the channel",
       "#EXTM3U\n#EXTINF:1,A\n#EXTTV:News\nudp://@239.0.0.1:abc\n\n#EXTINF:2,B\n"
       "udp://@239.0.0.2\n#EXTINF:3,C\nudp://@239.0.0.3:65536\nudp://@239.0.0.4:-1\n"
       "#EXTINF:5,E\nudp://@239.0.0.5:80x\n",
       {"[All] {5 'E' 239.0.0.5:80} {" + kLast + " '' 239.0.0.4:65535}", "[News]"},
       {"Playlist line 4: port does not convert, channel dropped.",
        "Playlist line 7: port does not convert, channel dropped.",
        "Playlist line 9: port does not convert, channel dropped."}},
      {"empty address drops silently",
       "#EXTM3U\n#EXTINF:1,A\nudp://@:1\n#EXTINF:2,B\nudp://\n#EXTINF:3,C\nudp://10.0.0.1@\n",
       {"[All]"}},
      {"CR LF line ends",
       "#EXTM3U\r\n#EXTINF:1, A \r\n#EXTTV:News\r\n\r\nudp://@239.0.0.1:1234\r\n"
       "#EXTINF:2,B\r\nudp://239.0.0.2\r\n",
       {"[All] {1 'A' 239.0.0.1:1234 News}", "[News] {1 'A' 239.0.0.1:1234 News}"},
       {"Playlist line 7: port does not convert, channel dropped."}},
      {"rtp forms, source kept",
       "#EXTM3U\n#EXTINF:1,A\nrtp://@239.255.0.1:5002\n#EXTINF:2,B\nrtp://239.255.0.1:5002\n"
       "#EXTINF:3,C\nrtp://10.0.0.5@239.255.0.1:5002\n#EXTINF:4,D\nrtp://@239.255.0.1:x\n",
       {"[All] {1 'A' 239.255.0.1:5002} {2 'B' 239.255.0.1:5002} {3 'C' "
        "10.0.0.5@239.255.0.1:5002}"},
       {"Playlist line 9: port does not convert, channel dropped."}},
      {"attributes, group-title and logo",
       "#EXTM3U\n"
       "#EXTINF:-1 tvg-id=\"a.b\" tvg-name=\"News, Live\" tvg-logo=\"http://x/a.png?s=1&t=2\" "
       "group-title=\"News;Sport\",Channel A\nrtp://@239.1.1.1:5000\n"
       "#EXTINF:-1 tvg-logo=http://x/b.png group-title=\"Movies, Series\",Channel B, HD\n"
       "rtp://10.0.0.1@239.1.1.2:5002\n"
       "#EXTINF:-1 group-title=\"Kids\",Channel C\n#EXTTV:Local\nudp://@239.1.1.3:5004\n"
       "#EXTINF:5 tvg-name=\"Open,Title\nudp://@239.1.1.4:1\n"
       "#EXTINF:0 tvg-logo=\"l\",12 - Sky\nudp://@239.1.1.5:1\n"
       "#EXTINF:-1 group-title=\"Lost\",E\nudp://@:1\n",
       {"[All] {0 '12 - Sky' 239.1.1.5:1 logo=l} {5 'Title' 239.1.1.4:1}"
        " {" +
            kLast +
            " 'Channel A' 239.1.1.1:5000 News;Sport logo=http://x/a.png?s=1&t=2}"
            " {" +
            kLast +
            " 'Channel B, HD' 10.0.0.1@239.1.1.2:5002 Movies, Series logo=http://x/b.png}"
            " {" +
            kLast + " 'Channel C' 239.1.1.3:5004 Local}",
        "[News] {" + kLast + " 'Channel A' 239.1.1.1:5000 News;Sport logo=http://x/a.png?s=1&t=2}",
        "[Sport] {" + kLast + " 'Channel A' 239.1.1.1:5000 News;Sport logo=http://x/a.png?s=1&t=2}",
        "[Movies, Series] {" + kLast +
            " 'Channel B, HD' 10.0.0.1@239.1.1.2:5002 Movies, Series logo=http://x/b.png}",
        "[Local] {" + kLast + " 'Channel C' 239.1.1.3:5004 Local}"}},
      {"valid UTF-8 unchanged",
       "#EXTM3U\n#EXTINF:1 group-title=\"Infos \xC3\xA9\",\xE2\x98\x85 Star\n"
       "rtp://@239.0.0.1:1\n",
       {"[All] {1 '\xE2\x98\x85 Star' 239.0.0.1:1 Infos \xC3\xA9}",
        "[Infos \xC3\xA9] {1 '\xE2\x98\x85 Star' 239.0.0.1:1 Infos \xC3\xA9}"}},
      {"Latin-1 and control characters cleaned, one line",
       "#EXTM3U\n#EXTINF:1,Caf\xE9\x01 Bar\n#EXTTV:T\xE9l\xE9\nudp://@239.0.0.1:1\n"
       "#EXTINF:2 tvg-logo=\"http://x/\x02"
       "a.png\" group-title=\"Sp\xF6rt\",B\n"
       "udp://@239.0.0.2\x7F:1\n",
       {"[All] {1 'Caf\xEF\xBF\xBD Bar' 239.0.0.1:1 T\xEF\xBF\xBDl\xEF\xBF\xBD}"
        " {2 'B' 239.0.0.2:1 Sp\xEF\xBF\xBDrt logo=http://x/a.png}",
        "[T\xEF\xBF\xBDl\xEF\xBF\xBD] {1 'Caf\xEF\xBF\xBD Bar' 239.0.0.1:1 "
        "T\xEF\xBF\xBDl\xEF\xBF\xBD}",
        "[Sp\xEF\xBF\xBDrt] {2 'B' 239.0.0.2:1 Sp\xEF\xBF\xBDrt logo=http://x/a.png}"},
       {"Playlist line 2: invalid UTF-8 or control characters, text cleaned (first such line)."}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> console;
    ChannelList list;
    list.loadText(c.text, [&](std::string_view line) { console.emplace_back(line); });
    checkInvariants(list);
    EXPECT_EQ(describe(list), c.groups);
    EXPECT_EQ(console, c.console);
  }
}

TEST(ChannelList, ReloadStartsAfresh) {
  ChannelList list;
  list.loadText("#EXTM3U\n#EXTINF:1,A\n#EXTTV:News\nudp://@239.0.0.1:1\n");
  list.loadText("#EXTM3U\n#EXTINF:2,B\nudp://@239.0.0.2:2\n");
  checkInvariants(list);
  EXPECT_EQ(describe(list), std::vector<std::string>{"[All] {2 'B' 239.0.0.2:2}"});
}

// The guide a provider's playlist names in its header, for a relay started
// without --epg.
TEST(ChannelList, GuideUrlFromTheHeader) {
  const struct {
    const char* header;
    const char* url;
  } cases[] = {
      {"#EXTM3U", ""},
      {"#EXTM3U x-tvg-url=\"http://epg.lan/guide.xml.gz\"", "http://epg.lan/guide.xml.gz"},
      {"#EXTM3U url-tvg=\"http://epg.lan/a.xml\"", "http://epg.lan/a.xml"},
      {"#EXTM3U x-tvg-url=\"http://a/1.xml,http://b/2.xml\" url-tvg=\"http://c/3.xml\"",
       "http://a/1.xml"},
      {"#EXTM3U x-tvg-url=\"http://a/1.xml http://b/2.xml\"", "http://a/1.xml"},
      {"#EXTM3U tvg-shift=1 x-tvg-url=http://a/1.xml", "http://a/1.xml"},
      {"#EXTM3U x-tvg-url=\"http://a/\x1b[2J\xff.xml\"", "http://a/[2J\xef\xbf\xbd.xml"},
  };
  ChannelList list;
  for (const auto& c : cases) {
    list.loadText(std::string(c.header) + "\n#EXTINF:1,A\nudp://@239.0.0.1:1\n");
    EXPECT_EQ(list.guideUrl, c.url) << c.header;
    EXPECT_EQ(list.channels.size(), 1u) << c.header;
  }
  list.loadText("#EXTM3U\n");
  EXPECT_EQ(list.guideUrl, "");  // a reload starts afresh
}

TEST(ChannelList, LoadsFile) {
  char path[] = "/tmp/channel_list_test_XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  {
    std::ofstream out(path, std::ios::binary);
    out << kBom << "#EXTM3U\r\n#EXTINF:0,4 - Caf\xC3\xA9\r\n#EXTTV:Sport\r\n"
        << "udp://@239.0.0.1:1234\r\n#EXTINF:2,B\nudp://@239.0.0.2:x\n";
  }
  std::vector<std::string> console;
  ChannelList list;
  list.load(path, [&](std::string_view line) { console.emplace_back(line); });
  std::remove(path);
  checkInvariants(list);
  EXPECT_EQ(describe(list),
            (std::vector<std::string>{"[All] {4 'Caf\xC3\xA9' 239.0.0.1:1234 Sport}",
                                      "[Sport] {4 'Caf\xC3\xA9' 239.0.0.1:1234 Sport}"}));
  EXPECT_EQ(console,
            std::vector<std::string>{"Playlist line 6: port does not convert, channel dropped."});
}

TEST(ChannelList, UnreadableFileGivesAllOnly) {
  for (const char* path : {"/nonexistent/channel_list_test.m3u", "/tmp"}) {
    SCOPED_TRACE(path);
    ChannelList list;
    list.load(path);
    checkInvariants(list);
    EXPECT_EQ(describe(list), std::vector<std::string>{"[All]"});
    EXPECT_TRUE(list.entries.empty());
  }
}

}  // namespace
