#include "relay/upnp/playlist_export.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "engine/compression.h"
#include "relay/upnp/channel_list.h"

namespace {

// The source playlist as the loader reads it, and the relay's playlist made
// from it for a client that reached 198.18.2.1:2901.
TEST(PlaylistExport, SourceAttributesInOneOrderWithTheRelaysUrls) {
  const std::string url = "http://198.18.2.1:2901/vkx/";
  const struct {
    const char* name;
    std::string source;
    bool guideLoaded;
    std::string exported;
  } cases[] = {
      {"every attribute, written in the relay's order",
       "#EXTM3U\n#EXTINF:-1 tvg-chno=\"101\" group-title=\"News\" tvg-logo=\"http://l/1.png\" "
       "tvg-name=\"One HD\" tvg-id=\"one.de\",One\nudp://@239.1.1.1:5000\n",
       false,
       "#EXTM3U\n#EXTINF:-1 tvg-id=\"one.de\" tvg-name=\"One HD\" tvg-logo=\"http://l/1.png\" "
       "group-title=\"News\" tvg-chno=\"101\",One\n" +
           url + "239.1.1.1:5000\n"},
      {"no attributes and no number", "#EXTM3U\n#EXTINF:-1,Plain\nudp://@239.1.1.2:5000\n", false,
       "#EXTM3U\n#EXTINF:-1,Plain\n" + url + "239.1.1.2:5000\n"},
      {"tvg-chno from the number, unless the source gives one; Browse order",
       "#EXTM3U\n#EXTINF:-1,Last\nudp://@239.1.1.9:1\n#EXTINF:4 tvg-chno=\"104\",Four\n"
       "udp://@239.1.1.4:1\n#EXTINF:0,3 - Three\nrtp://10.0.0.1@239.1.1.3:1\n",
       false,
       "#EXTM3U\n#EXTINF:-1 tvg-chno=\"3\",Three\n" + url +
           "10.0.0.1@239.1.1.3:1\n#EXTINF:-1 tvg-chno=\"104\",Four\n" + url +
           "239.1.1.4:1\n#EXTINF:-1,Last\n" + url + "239.1.1.9:1\n"},
      {"a loaded guide is named in the header",
       "#EXTM3U\n#EXTINF:-1 tvg-id=\"a\",A\nudp://@239.1.1.1:1\n", true,
       "#EXTM3U x-tvg-url=\"http://198.18.2.1:2901/epg.xml.gz\"\n#EXTINF:-1 tvg-id=\"a\",A\n" +
           url + "239.1.1.1:1\n"},
      {"commas in the title and in a quoted value",
       "#EXTM3U\n#EXTINF:-1 tvg-name=\"News, late\",News, late edition\nudp://@239.1.1.1:1\n",
       false,
       "#EXTM3U\n#EXTINF:-1 tvg-name=\"News, late\",News, late edition\n" + url + "239.1.1.1:1\n"},
      {"double quotes are left out of values, kept in the title",
       "#EXTM3U\n#EXTINF:-1 tvg-id=a\"b tvg-name=\"x\",Say \"Hi\"\nudp://@239.1.1.1:1\n"
       "#EXTINF:-1,\"Quoted\"\n#EXTTV:Fun \"Zone\",Kids\nudp://@239.1.1.2:1\n",
       false,
       "#EXTM3U\n#EXTINF:-1 tvg-id=\"ab\" tvg-name=\"x\",Say \"Hi\"\n" + url +
           "239.1.1.1:1\n#EXTINF:-1 group-title=\"Fun Zone;Kids\",\"Quoted\"\n" + url +
           "239.1.1.2:1\n"},
      {"a channel in several groups: #EXTTV joined with ';', a group-title as given",
       "#EXTM3U\n#EXTINF:1,A\n#EXTTV:News,Sport;de;x\nudp://@239.1.1.1:1\n"
       "#EXTINF:2 group-title=\"Kids;Fun\",B\nudp://@239.1.1.2:1\n",
       false,
       "#EXTM3U\n#EXTINF:-1 group-title=\"News;Sport\" tvg-chno=\"1\",A\n" + url +
           "239.1.1.1:1\n#EXTINF:-1 group-title=\"Kids;Fun\" tvg-chno=\"2\",B\n" + url +
           "239.1.1.2:1\n"},
      // The URL is the relay's own: a host name, a unicast address or text
      // that would lead elsewhere in the relay never reaches it.
      {"only multicast groups, written in dotted form",
       "#EXTM3U\n#EXTINF:1,Host\nudp://@example.com:1\n#EXTINF:2,Unicast\nudp://@10.0.0.1:1\n"
       "#EXTINF:3,Path\nudp://@239.1.1.1 /../../command/quit#:1\n"
       "#EXTINF:4,Short\nudp://@239.7:1\n",
       false,
       "#EXTM3U\n#EXTINF:-1 tvg-chno=\"3\",Path\n" + url +
           "239.1.1.1:1\n#EXTINF:-1 tvg-chno=\"4\",Short\n" + url + "239.0.0.7:1\n"},
      {"a source before the group, dotted; a channel whose source sends nothing is left out",
       "#EXTM3U\n#EXTINF:1,SSM\nudp://198.18.1.1@232.1.1.1:5000\n#EXTINF:2,Any\nudp://"
       "@232.1.1.2:1\n"
       "#EXTINF:3,Group\nudp://232.1.1.9@232.1.1.3:1\n#EXTINF:4,Zero\nudp://0.0.0.0@232.1.1.4:1\n"
       "#EXTINF:5,All\nudp://255.255.255.255@232.1.1.5:1\n#EXTINF:6,Short\nudp://10.1@232.1.1.6:1\n"
       "#EXTINF:7,Name\nrtp://src.example@232.1.1.7:1\n#EXTINF:8,Unicast\nudp://"
       "10.0.0.1@10.0.0.2:1\n"
       "#EXTINF:9,Path\nrtp://10.0.0.1/../command/quit#@232.1.1.9:1\n",
       false,
       "#EXTM3U\n#EXTINF:-1 tvg-chno=\"1\",SSM\n" + url +
           "198.18.1.1@232.1.1.1:5000\n#EXTINF:-1 tvg-chno=\"2\",Any\n" + url + "232.1.1.2:1\n"},
      {"text cleaned as Browse text is",
       "#EXTM3U\n#EXTINF:-1 tvg-id=\"a\x01\" tvg-name=\"\xFF\",T\xC3\nudp://@239.1.1.1:1\n", false,
       "#EXTM3U\n#EXTINF:-1 tvg-id=\"a\" tvg-name=\"\xEF\xBF\xBD\",T\xEF\xBF\xBD\n" + url +
           "239.1.1.1:1\n"},
      {"an empty playlist", "#EXTM3U\n", true,
       "#EXTM3U x-tvg-url=\"http://198.18.2.1:2901/epg.xml.gz\"\n"},
      {"not a playlist", "<html>\n#EXTINF:-1,A\nudp://@239.1.1.1:1\n", false, "#EXTM3U\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    relay::ChannelList list;
    list.loadText(c.source);
    EXPECT_EQ(relay::exportPlaylist({&list, "198.18.2.1:2901", c.guideLoaded}), c.exported);
  }
  EXPECT_EQ(relay::exportPlaylist({nullptr, "198.18.2.1:2901", false}), "#EXTM3U\n");
}

// With --token every URL the playlist writes carries it: the guide's and
// each channel's.
TEST(PlaylistExport, UrlsCarryTheToken) {
  relay::ChannelList list;
  list.loadText(
      "#EXTM3U\n#EXTINF:1,A\nudp://@239.1.1.1:1\n#EXTINF:2,B\nudp://10.0.0.1@232.1.1.2:2\n");
  EXPECT_EQ(relay::exportPlaylist({&list, "198.18.2.1:2901", true, "s3cret"}),
            "#EXTM3U x-tvg-url=\"http://198.18.2.1:2901/epg.xml.gz?token=s3cret\"\n"
            "#EXTINF:-1 tvg-chno=\"1\",A\nhttp://198.18.2.1:2901/vkx/239.1.1.1:1?token=s3cret\n"
            "#EXTINF:-1 "
            "tvg-chno=\"2\",B\nhttp://198.18.2.1:2901/vkx/10.0.0.1@232.1.1.2:2?token=s3cret\n");
  relay::PlaylistAnswers answers(0, "s3cret");
  auto shared = std::make_shared<const relay::ChannelList>(list);
  EXPECT_TRUE(answers.get(shared, "h:1", false)
                  ->text.ends_with("/vkx/10.0.0.1@232.1.1.2:2?token=s3cret\n"));
}

}  // namespace

namespace {

std::shared_ptr<const relay::ChannelList> listOf(const std::string& text) {
  auto list = std::make_shared<relay::ChannelList>();
  list->loadText(text);
  return list;
}

// Built once per list, address and guide state; a new list (a reload) or
// guide state is answered afresh.
TEST(PlaylistAnswers, KeptPerListAddressAndGuideState) {
  relay::PlaylistAnswers answers(1700000000);
  const auto first = listOf("#EXTM3U\n#EXTINF:-1,A\nudp://@239.1.1.1:1\n");
  const auto a = answers.get(first, "10.0.0.1:80", false);
  EXPECT_EQ(answers.get(first, "10.0.0.1:80", false), a);
  EXPECT_EQ(a->gzip, engine::compressBody(true, a->text, engine::kDocumentLevel, 1700000000));
  EXPECT_EQ(a->deflate, engine::compressBody(false, a->text, engine::kDocumentLevel, 1700000000));

  const auto b = answers.get(first, "10.0.1.1:80", false);
  EXPECT_EQ(b->text, "#EXTM3U\n#EXTINF:-1,A\nhttp://10.0.1.1:80/vkx/239.1.1.1:1\n");
  EXPECT_EQ(answers.get(first, "10.0.0.1:80", false), a);

  EXPECT_TRUE(answers.get(first, "10.0.0.1:80", true)->text.starts_with("#EXTM3U x-tvg-url="));
  const auto reloaded = listOf("#EXTM3U\n#EXTINF:-1,B\nudp://@239.1.1.2:1\n");
  EXPECT_EQ(answers.get(reloaded, "10.0.0.1:80", false)->text,
            "#EXTM3U\n#EXTINF:-1,B\nhttp://10.0.0.1:80/vkx/239.1.1.2:1\n");
  EXPECT_EQ(answers.get(nullptr, "10.0.0.1:80", false)->text, "#EXTM3U\n");
}

}  // namespace
