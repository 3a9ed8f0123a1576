// A reload over files: what changed is served with a higher update ID, what
// failed keeps what was served, with one line saying why.
#include "relay/app/served_sources.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

void writeFile(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

std::string playlistOf(int channels) {
  std::string text = "#EXTM3U\n";
  for (int i = 1; i <= channels; ++i) {
    text += "#EXTINF:" + std::to_string(i) + " tvg-id=\"c" + std::to_string(i) + "\",C" +
            std::to_string(i) + "\nudp://@239.1.1." + std::to_string(i) + ":5000\n";
  }
  return text;
}

// Channels c1 and c2, each with one programme on air.
std::string guideOf(const std::string& title) {
  std::string text = "<?xml version=\"1.0\"?><tv>";
  for (const char* id : {"c1", "c2"}) text += std::string("<channel id=\"") + id + "\"/>";
  for (const char* id : {"c1", "c2"}) {
    text += std::string("<programme start=\"20200101000000 +0000\" ") +
            "stop=\"20991231000000 +0000\" channel=\"" + id + "\"><title>" + title +
            "</title></programme>";
  }
  return text + "</tv>";
}

TEST(ServedSources, ReloadKeepsWhatFailsAndCountsWhatChanged) {
  const fs::path dir = fs::temp_directory_path() / ("served-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  relay::SourceSettings settings;
  settings.playlist = (dir / "list.m3u").string();
  settings.guide = (dir / "guide.xml").string();
  settings.host = "192.168.0.2";
  settings.port = 2901;
  writeFile(settings.playlist, playlistOf(2));
  writeFile(settings.guide, guideOf("First"));

  std::vector<std::string> lines;
  const common::LineWriter writeLine = [&](std::string_view line) { lines.emplace_back(line); };
  std::shared_ptr<const relay::ServedSources> served =
      relay::loadSources(settings, nullptr, writeLine);
  ASSERT_TRUE(served->channels && served->guide && served->control);
  EXPECT_EQ(served->channels->channels.size(), 2u);

  struct Step {
    const char* what;
    std::string playlist;  // empty: the file is removed
    std::string guide;
    std::size_t channels;
    std::uint32_t updateId;
    bool guideReplaced;
    std::vector<std::string> lines;
    bool guideHasC2 = true;
  };
  const std::string loaded = "Guide loaded: 2 channels, 2 programmes.";
  const Step steps[] = {
      {"the same list keeps its update ID",
       playlistOf(2),
       guideOf("Second"),
       2,
       0,
       true,
       {"Reloading playlist.", "Playlist reloaded: 2 channels.", "Loading guide.", loaded}},
      {"a new channel raises it",
       playlistOf(3),
       guideOf("Third"),
       3,
       1,
       true,
       {"Reloading playlist.", "Playlist reloaded: 3 channels.", "Loading guide.", loaded}},
      {"a list gone and a broken guide keep both",
       "",
       "<tv><programme",
       3,
       1,
       false,
       {"Reloading playlist.", "Playlist reload failed: not found, keeping 3 channels.",
        "Loading guide.",
        "Guide reload failed: XML error at line 1: Couldn't find end of Start Tag programme, "
        "keeping the last guide."}},
      {"a page that is no playlist",
       "<html>404</html>",
       guideOf("Fourth"),
       3,
       1,
       true,
       {"Reloading playlist.", "Playlist reload failed: no channels, keeping 3 channels.",
        "Loading guide.", loaded}},
      // The guide kept is the last good one reduced to the new list.
      {"a shorter list with a guide that fails",
       playlistOf(1),
       "<html>gone</html>",
       1,
       2,
       true,
       {"Reloading playlist.", "Playlist reloaded: 1 channels.", "Loading guide.",
        "Guide reload failed: not XMLTV, keeping the last guide."},
       false},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    if (step.playlist.empty()) {
      fs::remove(settings.playlist);
    } else {
      writeFile(settings.playlist, step.playlist);
    }
    writeFile(settings.guide, step.guide);
    lines.clear();
    std::shared_ptr<const relay::ServedSources> next =
        relay::reloadSources(settings, *served, nullptr, writeLine);
    EXPECT_EQ(lines, step.lines);
    EXPECT_EQ(next->channels->channels.size(), step.channels);
    EXPECT_EQ(next->systemUpdateId, step.updateId);
    EXPECT_EQ(next->channels == served->channels, next->systemUpdateId == served->systemUpdateId);
    EXPECT_EQ(next->guide != served->guide, step.guideReplaced);
    // A replaced guide is dated later, or If-Modified-Since would keep the old.
    if (step.guideReplaced) {
      EXPECT_GT(next->guide->loadedAt, served->guide->loadedAt);
    }
    EXPECT_EQ(next->guide->xml.find("\"c2\"") != std::string::npos, step.guideHasC2);
    // Browse answers the served update ID and shows the programme on air.
    std::string body;
    relay::SoapArguments arguments;
    arguments[relay::soapslot::kObjectId] = "1";
    arguments[relay::soapslot::kBrowseFlag] = "BrowseMetadata";
    arguments[relay::soapslot::kStartingIndex] = "0";
    arguments[relay::soapslot::kRequestedCount] = "0";
    ASSERT_EQ(next->control->dispatch(relay::soapservice::kContentDirectory, 1, arguments, body),
              0);
    EXPECT_NE(body.find("<UpdateID>" + std::to_string(step.updateId) + "</UpdateID>"),
              std::string::npos)
        << body;
    EXPECT_NE(body.find("dc:description"), std::string::npos) << body;
    served = next;
  }
  fs::remove_all(dir);
}

}  // namespace
