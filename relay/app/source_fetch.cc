#include "relay/app/source_fetch.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>

#include "common/text.h"
#include "common/version.h"
#include "platform/unique_fd.h"

namespace relay {
namespace {

constexpr std::size_t kChunk = 64 * 1024;
constexpr int kStopCheckMs = 1000;

// Looked at without consuming it: an auto-reset stop stays set for its owner.
bool stopSet(const platform::Event* stop) {
  if (stop == nullptr) return false;
  pollfd item{stop->fd(), POLLIN, 0};
  return ::poll(&item, 1, 0) > 0;
}

std::string limitText(std::uint64_t maxBytes) {
  if (maxBytes % (1u << 20) == 0) return "more than " + std::to_string(maxBytes >> 20) + " MB";
  return "more than " + std::to_string(maxBytes) + " bytes";
}

std::string errnoText(int error) {
  return std::strerror(error);
}

// Where the content goes.
class Sink {
 public:
  virtual ~Sink() = default;
  // Empty, or why it could not take the bytes.
  virtual std::string write(const char* data, std::size_t size) = 0;
};

// Past its first megabyte the body takes room for the whole limit at once:
// growing by doubling would hold the old and the new copy together, three
// times the limit at its peak, while pages reserved and never written cost
// no memory.
class MemorySink final : public Sink {
 public:
  MemorySink(std::string& body, std::uint64_t maxBytes) : body_(body), maxBytes_(maxBytes) {}
  std::string write(const char* data, std::size_t size) override {
    const std::size_t needed = body_.size() + size;
    if (needed > body_.capacity() && needed > kWholeLimitFrom && maxBytes_ >= needed) {
      body_.reserve(std::size_t(maxBytes_));
    }
    body_.append(data, size);
    return {};
  }

 private:
  static constexpr std::size_t kWholeLimitFrom = std::size_t(1) << 20;
  std::string& body_;
  const std::uint64_t maxBytes_;
};

// The file (unless `fd` is -1), and with `readerFd` (a stream socket) a
// reader of the content as it arrives: a reader that goes away ends the
// fetch.
class FileSink final : public Sink {
 public:
  explicit FileSink(int fd, int readerFd = -1) : fd_(fd), readerFd_(readerFd) {}
  std::string write(const char* data, std::size_t size) override {
    for (std::size_t done = 0; fd_ >= 0 && done < size;) {
      const ssize_t written = ::write(fd_, data + done, size - done);
      if (written < 0) {
        if (errno == EINTR) continue;
        return "cannot write: " + errnoText(errno);
      }
      done += std::size_t(written);
    }
    for (std::size_t done = 0; readerFd_ >= 0 && done < size;) {
      const ssize_t sent = ::send(readerFd_, data + done, size - done, MSG_NOSIGNAL);
      if (sent < 0) {
        if (errno == EINTR) continue;
        return std::string(kReaderGone);
      }
      done += std::size_t(sent);
    }
    return {};
  }

 private:
  int fd_;
  int readerFd_;
};

// The content as it arrives, whatever the transport already decoded: gzip
// by its first two bytes (several members in a row allowed), anything else
// as it is; the byte limit over what arrives and over what comes out.
class ContentDecoder {
 public:
  ContentDecoder(Sink& sink, std::uint64_t maxBytes) : sink_(sink), maxBytes_(maxBytes) {}
  ~ContentDecoder() {
    if (inflating_) inflateEnd(&stream_);
  }
  ContentDecoder(const ContentDecoder&) = delete;
  ContentDecoder& operator=(const ContentDecoder&) = delete;

  const std::string& error() const { return error_; }
  std::uint64_t delivered() const { return delivered_; }

  bool feed(const char* data, std::size_t size) {
    if (!error_.empty()) return false;
    if (size == 0) return true;
    received_ += size;
    if (received_ > maxBytes_) return fail(limitText(maxBytes_));
    if (mode_ == Mode::Undecided) {
      const std::size_t take = std::min(size, sizeof(head_) - headSize_);
      std::memcpy(head_ + headSize_, data, take);
      headSize_ += take;
      data += take;
      size -= take;
      if (headSize_ < sizeof(head_)) return true;
      if (!decide()) return false;
    }
    return pass(data, size);
  }

  // After the last byte: a gzip that did not reach its end is truncated.
  bool finish() {
    if (!error_.empty()) return false;
    if (mode_ == Mode::Undecided && headSize_ > 0) {
      mode_ = Mode::Plain;
      return emit(head_, headSize_);
    }
    if (mode_ == Mode::Gzip && !memberEnded_) return fail("truncated gzip");
    return true;
  }

 private:
  enum class Mode { Undecided, Plain, Gzip };

  bool fail(std::string reason) {
    if (error_.empty()) error_ = std::move(reason);
    return false;
  }

  bool emit(const char* data, std::size_t size) {
    if (size > maxBytes_ - delivered_) return fail(limitText(maxBytes_));
    delivered_ += size;
    std::string written = sink_.write(data, size);
    return written.empty() || fail(std::move(written));
  }

  bool decide() {
    const bool gzip = static_cast<unsigned char>(head_[0]) == 0x1f &&
                      static_cast<unsigned char>(head_[1]) == 0x8b;
    if (!gzip) {
      mode_ = Mode::Plain;
      return emit(head_, headSize_);
    }
    mode_ = Mode::Gzip;
    stream_ = {};
    if (inflateInit2(&stream_, 15 + 16) != Z_OK) return fail("out of memory");
    inflating_ = true;
    return inflateSome(head_, headSize_);
  }

  bool pass(const char* data, std::size_t size) {
    if (size == 0) return true;
    if (mode_ == Mode::Plain) return emit(data, size);
    return inflateSome(data, size);
  }

  bool inflateSome(const char* data, std::size_t size) {
    std::array<char, kChunk> out;
    stream_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
    stream_.avail_in = uInt(size);
    for (;;) {
      if (memberEnded_) {
        if (stream_.avail_in == 0) break;
        // Another member follows: gzip allows several in a row.
        inflateReset(&stream_);
        memberEnded_ = false;
      }
      stream_.next_out = reinterpret_cast<Bytef*>(out.data());
      stream_.avail_out = uInt(out.size());
      const int status = inflate(&stream_, Z_NO_FLUSH);
      if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR) {
        return fail("not valid gzip");
      }
      const std::size_t produced = out.size() - stream_.avail_out;
      if (produced > 0 && !emit(out.data(), produced)) return false;
      if (status == Z_STREAM_END) {
        memberEnded_ = true;
        continue;
      }
      // Z_BUF_ERROR: no progress is possible until more input arrives.
      if (status == Z_BUF_ERROR || (stream_.avail_in == 0 && stream_.avail_out != 0)) break;
    }
    return true;
  }

  Sink& sink_;
  const std::uint64_t maxBytes_;
  std::uint64_t received_ = 0;
  std::uint64_t delivered_ = 0;
  Mode mode_ = Mode::Undecided;
  char head_[2] = {};
  std::size_t headSize_ = 0;
  z_stream stream_{};
  bool inflating_ = false;
  bool memberEnded_ = false;
  std::string error_;
};

// A local file: regular files only, so that a FIFO or a device can neither
// hang the open nor answer without end.
std::string readLocal(const std::string& path, ContentDecoder& decoder,
                      const platform::Event* stop) {
  platform::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!fd.valid()) return errno == ENOENT ? "not found" : errnoText(errno);
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) return errnoText(errno);
  if (!S_ISREG(info.st_mode)) return "not a regular file";
  std::array<char, kChunk> buffer;
  for (;;) {
    if (stopSet(stop)) return "stopped";
    const ssize_t got = ::read(fd.get(), buffer.data(), buffer.size());
    if (got < 0) {
      if (errno == EINTR) continue;
      return errnoText(errno);
    }
    if (got == 0) break;
    if (!decoder.feed(buffer.data(), std::size_t(got))) return decoder.error();
  }
  return decoder.finish() ? std::string() : decoder.error();
}

std::size_t onData(char* data, std::size_t size, std::size_t count, void* user) {
  auto* decoder = static_cast<ContentDecoder*>(user);
  // Fewer bytes than offered ends the transfer with CURLE_WRITE_ERROR.
  return decoder->feed(data, size * count) ? size * count : 0;
}

struct EasyDeleter {
  void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct MultiDeleter {
  void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};

std::string curlReason(CURLcode code, CURL* easy, const char* detail, const ContentDecoder& decoder,
                       std::uint64_t maxBytes) {
  long status = 0;
  curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
  switch (code) {
    case CURLE_HTTP_RETURNED_ERROR:
      return "HTTP " + std::to_string(status);
    case CURLE_WRITE_ERROR:
      if (!decoder.error().empty()) return decoder.error();
      break;
    case CURLE_OPERATION_TIMEDOUT:
      return "timed out";
    case CURLE_FILESIZE_EXCEEDED:
      return limitText(maxBytes);
    case CURLE_TOO_MANY_REDIRECTS:
      return "too many redirects";
    default:
      break;
  }
  return detail[0] != '\0' ? std::string(detail) : std::string(curl_easy_strerror(code));
}

std::string fetchUrl(const std::string& url, ContentDecoder& decoder, const FetchLimits& limits,
                     const platform::Event* stop) {
  if (!initFetching()) return "cannot start libcurl";
  std::unique_ptr<CURL, EasyDeleter> easy(curl_easy_init());
  std::unique_ptr<CURLM, MultiDeleter> multi(curl_multi_init());
  if (!easy || !multi) return "cannot start libcurl";
  char detail[CURL_ERROR_SIZE] = {};
  static const std::string userAgent = "tessaran/" + std::string(common::kVersion);
  CURL* e = easy.get();
  curl_easy_setopt(e, CURLOPT_URL, url.c_str());
  // Nothing but HTTP, also where a redirect points: no file://, no other
  // scheme a provider's answer could name.
  curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(e, CURLOPT_MAXREDIRS, long(limits.maxRedirects));
  curl_easy_setopt(e, CURLOPT_ACCEPT_ENCODING, "");  // every coding libcurl decodes
  curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, long(limits.totalSeconds) * 1000L);
  curl_easy_setopt(e, CURLOPT_MAXFILESIZE_LARGE, curl_off_t(limits.maxBytes));
  curl_easy_setopt(e, CURLOPT_FAILONERROR, 1L);
  curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
  // A stop during a name look-up leaves the resolver's thread to finish on
  // its own instead of waiting for it: the look-up may take many seconds.
  curl_easy_setopt(e, CURLOPT_QUICK_EXIT, 1L);
  curl_easy_setopt(e, CURLOPT_USERAGENT, userAgent.c_str());
  curl_easy_setopt(e, CURLOPT_ERRORBUFFER, detail);
  curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, onData);
  curl_easy_setopt(e, CURLOPT_WRITEDATA, &decoder);
  // Large reads: a guide runs to hundreds of megabytes.
  curl_easy_setopt(e, CURLOPT_BUFFERSIZE, 256L * 1024);
  if (curl_multi_add_handle(multi.get(), e) != CURLM_OK) return "cannot start libcurl";

  // The stop's descriptor is polled with the transfer's sockets: a stop
  // ends the wait at once.
  std::string reason;
  int running = 1;
  while (running > 0) {
    if (curl_multi_perform(multi.get(), &running) != CURLM_OK) {
      reason = "libcurl failed";
      break;
    }
    if (running == 0) break;
    curl_waitfd extra{stop != nullptr ? stop->fd() : -1, CURL_WAIT_POLLIN, 0};
    if (curl_multi_poll(multi.get(), &extra, stop != nullptr ? 1u : 0u, kStopCheckMs, nullptr) !=
        CURLM_OK) {
      reason = "libcurl failed";
      break;
    }
    if (stopSet(stop)) {
      reason = "stopped";
      break;
    }
  }
  if (reason.empty()) {
    CURLcode code = CURLE_OK;
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi.get(), &left)) {
      if (message->msg == CURLMSG_DONE) code = message->data.result;
    }
    if (code != CURLE_OK) {
      reason = curlReason(code, e, detail, decoder, limits.maxBytes);
    } else {
      long status = 0;
      curl_easy_getinfo(e, CURLINFO_RESPONSE_CODE, &status);
      // A 3xx is left when it names no place to go (or a 304 nobody asked for).
      if (status < 200 || status > 299) reason = "HTTP " + std::to_string(status);
    }
  }
  curl_multi_remove_handle(multi.get(), e);
  if (!reason.empty()) return reason;
  return decoder.finish() ? std::string() : decoder.error();
}

std::string fetchInto(const std::string& source, Sink& sink, const FetchLimits& limits,
                      const platform::Event* stop, std::uint64_t& size) {
  ContentDecoder decoder(sink, limits.maxBytes);
  std::string reason =
      isUrl(source) ? fetchUrl(source, decoder, limits, stop) : readLocal(source, decoder, stop);
  size = decoder.delivered();
  return reason;
}

// A temporary file beside `path`, renamed over it by commit().
class ReplacingFile {
 public:
  explicit ReplacingFile(const std::string& path) : path_(path), temporary_(path + ".partXXXXXX") {
    fd_ = platform::UniqueFd(::mkostemp(temporary_.data(), O_CLOEXEC));
    if (!fd_.valid()) error_ = "cannot write " + path + ": " + errnoText(errno);
  }
  ~ReplacingFile() {
    if (fd_.valid()) ::unlink(temporary_.c_str());
  }
  ReplacingFile(const ReplacingFile&) = delete;
  ReplacingFile& operator=(const ReplacingFile&) = delete;

  const std::string& error() const { return error_; }
  int fd() const { return fd_.get(); }

  // With `sync`, on disk before it replaces the last good copy.
  std::string commit(bool sync = true) {
    if ((sync && ::fsync(fd_.get()) != 0) || ::rename(temporary_.c_str(), path_.c_str()) != 0) {
      return "cannot write " + path_ + ": " + errnoText(errno);
    }
    fd_.reset();
    return {};
  }

 private:
  std::string path_;
  std::string temporary_;
  platform::UniqueFd fd_;
  std::string error_;
};

}  // namespace

FetchLimits playlistFetchLimits(std::optional<std::uint32_t> maxFetchMb) {
  FetchLimits limits;
  limits.maxBytes = std::uint64_t(std::min(maxFetchMb.value_or(kPlaylistFetchMb), kPlaylistFetchMb))
                    << 20;
  return limits;
}

FetchLimits guideFetchLimits(std::optional<std::uint32_t> maxFetchMb) {
  FetchLimits limits;
  limits.maxBytes = std::uint64_t(maxFetchMb.value_or(kGuideFetchMb)) << 20;
  return limits;
}

bool isUrl(std::string_view source) {
  return common::equalsIgnoreCaseAscii(source.substr(0, 7), "http://") ||
         common::equalsIgnoreCaseAscii(source.substr(0, 8), "https://");
}

bool initFetching() {
  static std::once_flag once;
  static bool started = false;
  std::call_once(once, [] { started = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; });
  return started;
}

FetchResult fetchToMemory(const std::string& source, const FetchLimits& limits,
                          const platform::Event* stop) {
  FetchResult result;
  MemorySink sink(result.body, limits.maxBytes);
  result.error = fetchInto(source, sink, limits, stop, result.size);
  if (!result.ok()) std::string().swap(result.body);
  return result;
}

FetchResult fetchToFile(const std::string& source, const std::string& destinationPath,
                        const FetchLimits& limits, const platform::Event* stop, bool sync,
                        int readerFd) {
  FetchResult result;
  ReplacingFile file(destinationPath);
  if (!file.error().empty()) {
    result.error = file.error();
    return result;
  }
  FileSink sink(file.fd(), readerFd);
  result.error = fetchInto(source, sink, limits, stop, result.size);
  if (result.ok()) result.error = file.commit(sync);
  return result;
}

FetchResult fetchToReader(const std::string& source, const FetchLimits& limits,
                          const platform::Event* stop, int readerFd) {
  FetchResult result;
  FileSink sink(-1, readerFd);
  result.error = fetchInto(source, sink, limits, stop, result.size);
  return result;
}

std::string moveIntoPlace(const std::string& from, const std::string& to) {
  const platform::UniqueFd fd(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid() || ::fsync(fd.get()) != 0 || ::rename(from.c_str(), to.c_str()) != 0) {
    return "cannot write " + to + ": " + errnoText(errno);
  }
  return {};
}

std::string writeFileReplacing(const std::string& path, std::string_view content) {
  ReplacingFile file(path);
  if (!file.error().empty()) return file.error();
  FileSink sink(file.fd());
  std::string reason = sink.write(content.data(), content.size());
  if (!reason.empty()) return "cannot write " + path + ": " + reason;
  return file.commit();
}

std::string cachePathFor(const std::string& cacheDir, CachedKind kind) {
  std::string path = cacheDir;
  if (!path.empty() && path.back() != '/') path += '/';
  return path + (kind == CachedKind::Playlist ? "playlist.m3u" : "guide.xml");
}

std::optional<std::time_t> cachedCopyTime(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  return info.st_mtime;
}

std::string cachedCopyTimeText(std::time_t time) {
  std::tm local{};
  ::localtime_r(&time, &local);
  char text[32];
  std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M", &local);
  return text;
}

}  // namespace relay
