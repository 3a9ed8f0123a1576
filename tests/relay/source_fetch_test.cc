#include "relay/app/source_fetch.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include "relay/app/playlist_source.h"

namespace {

namespace fs = std::filesystem;
using relay::FetchLimits;
using relay::FetchResult;

std::string gzipOf(const std::string& text) {
  z_stream z{};
  deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, uLong(text.size())), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  z.avail_in = uInt(text.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = uInt(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

void writeFile(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string readFile(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

std::size_t threadCount() {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/task")) ++count;
  return count;
}

// The count once it is back at `expected`, or after 2 s: a joined thread
// leaves /proc/self/task a moment after its join returns (long enough to
// see under an emulator).
std::size_t threadCountBackTo(std::size_t expected) {
  for (int i = 0; i < 200 && threadCount() != expected; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return threadCount();
}

const std::string kPlaylist = "#EXTM3U\n#EXTINF:1,News\nudp://@239.1.2.1:5000\n";
const std::string kGuide = "<?xml version=\"1.0\"?>\n<tv>" + std::string(200000, ' ') + "</tv>\n";

// The served folder and the server over it (python3's http.server, with the
// answers no file gives: see fetch_server.py), one for the whole suite.
class SourceFetch : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder_ = fs::temp_directory_path() / ("source_fetch_test_" + std::to_string(::getpid()));
    fs::create_directories(folder_ / "www");
    const fs::path www = folder_ / "www";
    writeFile(www / "list.m3u", kPlaylist);
    writeFile(www / "guide.xml.gz", gzipOf(kGuide));
    writeFile(www / "plain.m3u.gz", kPlaylist);
    const std::string whole = gzipOf(kGuide);
    writeFile(www / "truncated.xml.gz", whole.substr(0, whole.size() / 2));
    writeFile(www / "bomb.xml.gz", gzipOf(std::string(3u << 20, 'x')));
    writeFile(www / "large.bin", std::string(3u << 20, 'y'));
    writeFile(www / "page.html", "<html>sorry</html>");

    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    server_ = ::fork();
    ASSERT_GE(server_, 0);
    if (server_ == 0) {
      ::dup2(pipeFds[1], 1);
      ::close(pipeFds[0]);
      ::execlp("python3", "python3", FETCH_SERVER_SCRIPT, www.c_str(), nullptr);
      ::_exit(127);
    }
    ::close(pipeFds[1]);
    std::string port;
    char c;
    while (::read(pipeFds[0], &c, 1) == 1 && c != '\n') port += c;
    ::close(pipeFds[0]);
    ASSERT_FALSE(port.empty()) << "the test server did not start";
    base_ = "http://127.0.0.1:" + port;
  }
  static void TearDownTestSuite() {
    if (server_ > 0) {
      ::kill(server_, SIGTERM);
      ::waitpid(server_, nullptr, 0);
    }
    fs::remove_all(folder_);
  }

  static FetchLimits limitMb(std::uint64_t mb) {
    FetchLimits limits;
    limits.maxBytes = mb << 20;
    return limits;
  }

  static inline fs::path folder_;
  static inline pid_t server_ = -1;
  static inline std::string base_;
};

TEST_F(SourceFetch, ContentAndReasonsByRow) {
  struct Row {
    std::string source;  // a path on the server, or a local path
    FetchLimits limits;
    std::string error;
    std::string body;
  };
  const std::string www = (folder_ / "www").string();
  FetchLimits oneSecond;
  oneSecond.totalSeconds = 1;
  const Row rows[] = {
      {base_ + "/list.m3u", {}, "", kPlaylist},
      // Told apart by content: gzip whatever the name, a .gz name kept as it is.
      {base_ + "/guide.xml.gz", {}, "", kGuide},
      {base_ + "/plain.m3u.gz", {}, "", kPlaylist},
      {base_ + "/missing.m3u", {}, "HTTP 404", ""},
      {base_ + "/redirect", {}, "", kPlaylist},
      {base_ + "/redirect-loop", {}, "too many redirects", ""},
      // Past the limit: with no length, with a length, and once decompressed.
      {base_ + "/endless", limitMb(1), "more than 1 MB", ""},
      {base_ + "/large.bin", limitMb(1), "more than 1 MB", ""},
      {base_ + "/bomb.xml.gz", limitMb(1), "more than 1 MB", ""},
      {base_ + "/truncated.xml.gz", {}, "truncated gzip", ""},
      {base_ + "/slow", oneSecond, "timed out", ""},
      {www + "/list.m3u", {}, "", kPlaylist},
      {www + "/guide.xml.gz", {}, "", kGuide},
      {www + "/truncated.xml.gz", {}, "truncated gzip", ""},
      {www + "/bomb.xml.gz", limitMb(1), "more than 1 MB", ""},
      {www + "/missing.m3u", {}, "not found", ""},
      {www, {}, "not a regular file", ""},
      {"/dev/zero", {}, "not a regular file", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.source);
    const FetchResult result = relay::fetchToMemory(row.source, row.limits, nullptr);
    EXPECT_EQ(result.error, row.error);
    EXPECT_EQ(result.body, row.body);  // nothing of a failed fetch is handed on
  }
}

TEST_F(SourceFetch, FileIsReplacedOnlyByAWholeFetch) {
  const fs::path destination = folder_ / "cache" / "guide.xml";
  fs::create_directories(destination.parent_path());
  writeFile(destination, "last good");
  struct Row {
    std::string source;
    std::string error;
    std::string content;  // of the destination afterwards
  };
  const Row rows[] = {
      {base_ + "/missing.xml", "HTTP 404", "last good"},
      {base_ + "/truncated.xml.gz", "truncated gzip", "last good"},
      {base_ + "/guide.xml.gz", "", kGuide},
      {base_ + "/bomb.xml.gz", "more than 1 MB", kGuide},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.source);
    const FetchResult result =
        relay::fetchToFile(row.source, destination.string(), limitMb(1), nullptr);
    EXPECT_EQ(result.error, row.error);
    EXPECT_EQ(readFile(destination), row.content);
    // No temporary file is left beside it.
    EXPECT_EQ(std::distance(fs::directory_iterator(destination.parent_path()), {}), 1);
  }
  EXPECT_NE(relay::fetchToFile(base_ + "/list.m3u", (folder_ / "no" / "such").string(), {}, nullptr)
                .error,
            "");
}

TEST_F(SourceFetch, StopEndsASlowDownloadAndLeavesNoThread) {
  const std::size_t threadsBefore = threadCount();
  platform::Event stop(platform::Event::Reset::Manual);
  auto fetch = std::async(std::launch::async, [&] {
    return relay::fetchToMemory(base_ + "/slow", FetchLimits{}, &stop);
  });
  // Well into the transfer (bytes are arriving), then the stop.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  stop.set();
  // Generous: the fetch promises a second; the download itself would take 30 s.
  ASSERT_EQ(fetch.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(fetch.get().error, "stopped");
  EXPECT_EQ(threadCountBackTo(threadsBefore), threadsBefore);
  // A stop already set ends a local read as well.
  EXPECT_EQ(relay::fetchToMemory((folder_ / "www" / "list.m3u").string(), {}, &stop).error,
            "stopped");
}

TEST_F(SourceFetch, PlaylistFromUrlFallsBackToTheLastGoodCopy) {
  const fs::path cache = folder_ / "playlist_cache";
  fs::create_directories(cache);
  struct Row {
    std::string url;
    relay::PlaylistLoad load;
    std::string line;  // the start of the one line written, or empty
    std::size_t channels;
  };
  const std::string failed404 = "Playlist fetch failed: HTTP 404 (" + base_ + "/gone.m3u)";
  const Row rows[] = {
      // No copy yet: no channels.
      {base_ + "/gone.m3u", relay::PlaylistLoad::Empty, failed404 + ", starting with no channels",
       0},
      {base_ + "/list.m3u", relay::PlaylistLoad::Fetched, "", 1},
      // Now there is one; an HTML page with 200 is no playlist either.
      {base_ + "/gone.m3u", relay::PlaylistLoad::FromCache,
       failed404 + ", using the cached copy from ", 1},
      {base_ + "/page.html", relay::PlaylistLoad::FromCache,
       "Playlist fetch failed: no channels (" + base_ + "/page.html), using the cached copy from ",
       1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.url);
    std::vector<std::string> lines;
    relay::ChannelList list;
    const relay::PlaylistLoad load = relay::loadPlaylistFromUrl(
        {row.url, cache.string(), relay::playlistFetchLimits(std::nullopt)}, list, nullptr,
        [&](std::string_view line) { lines.emplace_back(line); });
    EXPECT_EQ(load, row.load);
    EXPECT_EQ(list.channels.size(), row.channels);
    if (row.line.empty()) {
      EXPECT_TRUE(lines.empty());
    } else {
      ASSERT_EQ(lines.size(), 1u);
      EXPECT_EQ(lines[0].substr(0, row.line.size()), row.line);
    }
  }
  EXPECT_EQ(readFile(relay::cachePathFor(cache.string(), relay::CachedKind::Playlist)), kPlaylist);
}

TEST(FetchLimitsFromOption, PlaylistNeverAboveItsDefault) {
  struct Row {
    std::optional<std::uint32_t> given;
    std::uint64_t playlistMb;
    std::uint64_t guideMb;
  };
  const Row rows[] = {{std::nullopt, 64, 1024}, {10, 10, 10}, {4096, 64, 4096}};
  for (const Row& row : rows) {
    EXPECT_EQ(relay::playlistFetchLimits(row.given).maxBytes, row.playlistMb << 20);
    EXPECT_EQ(relay::guideFetchLimits(row.given).maxBytes, row.guideMb << 20);
  }
  EXPECT_TRUE(relay::isUrl("HTTPS://example.invalid/x"));
  EXPECT_FALSE(relay::isUrl("/etc/http://x"));
}

}  // namespace
