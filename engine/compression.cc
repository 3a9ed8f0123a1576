#include "engine/compression.h"

#include <zlib.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <vector>

#include "engine/http_request.h"

namespace engine {

namespace {

// A deflate state, reset between bodies: setting one up allocates a few
// hundred KiB, and doing that for every response costs more than the
// compression of a small page.
class Deflater {
 public:
  explicit Deflater(bool gzip) : gzip_(gzip) {}
  ~Deflater() {
    if (ready_) deflateEnd(&stream_);
  }
  Deflater(const Deflater&) = delete;
  Deflater& operator=(const Deflater&) = delete;

  z_stream* begin(int level, std::uint32_t gzipTime) {
    if (ready_ && level != level_) {
      deflateEnd(&stream_);
      ready_ = false;
    }
    if (!ready_) {
      stream_ = z_stream{};
      const int result = gzip_
                             ? deflateInit2(&stream_, level, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY)
                             : deflateInit(&stream_, level);
      if (result != Z_OK) return nullptr;
      ready_ = true;
      level_ = level;
    } else if (deflateReset(&stream_) != Z_OK) {
      return nullptr;
    }
    if (gzip_) {
      header_ = gz_header{};
      header_.text = 1;
      header_.time = gzipTime;
      header_.os = 0;
      deflateSetHeader(&stream_, &header_);
    }
    return &stream_;
  }

 private:
  bool gzip_;
  bool ready_ = false;
  int level_ = 0;
  z_stream stream_{};
  gz_header header_{};
};

// Idle states shared by all threads, a few per format: memory stays bounded
// however many connections compress at once.
class DeflaterPool {
 public:
  std::unique_ptr<Deflater> take(bool gzip) {
    {
      std::lock_guard lock(mutex_);
      auto& idle = idle_[gzip ? 1 : 0];
      if (!idle.empty()) {
        std::unique_ptr<Deflater> deflater = std::move(idle.back());
        idle.pop_back();
        return deflater;
      }
    }
    return std::make_unique<Deflater>(gzip);
  }
  void give(bool gzip, std::unique_ptr<Deflater> deflater) {
    std::lock_guard lock(mutex_);
    auto& idle = idle_[gzip ? 1 : 0];
    if (idle.size() < kKeptIdle) idle.push_back(std::move(deflater));
  }

 private:
  static constexpr std::size_t kKeptIdle = 4;
  std::mutex mutex_;
  std::vector<std::unique_ptr<Deflater>> idle_[2];
};

// Never destroyed: detached workers may still compress while the program ends.
DeflaterPool& pool() {
  static DeflaterPool* const instance = new DeflaterPool;
  return *instance;
}

}  // namespace

std::string compressBody(bool gzip, std::string_view input, int level, std::uint32_t gzipTime) {
  std::unique_ptr<Deflater> deflater = pool().take(gzip);
  z_stream* stream = deflater->begin(level, gzipTime);
  if (stream == nullptr) return {};

  // compressBound leaves out the gzip header and trailer: 18 bytes more.
  const std::size_t bound = compressBound(uLong(input.size())) + 18;
  // A large body (a programme guide runs to tens of megabytes) packs to a
  // fraction of its size: its output starts at an eighth of it and grows
  // when full, rather than taking the whole bound and keeping it.
  std::string output(std::min(bound, input.size() / 8 + (64 << 10)), '\0');
  stream->next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data()));
  stream->avail_in = uInt(input.size());
  for (;;) {
    stream->next_out = reinterpret_cast<Bytef*>(output.data() + stream->total_out);
    stream->avail_out = uInt(output.size() - stream->total_out);
    if (deflate(stream, Z_FINISH) != Z_OK || output.size() >= bound) break;
    output.resize(std::min(bound, output.size() * 2));
  }
  output.resize(stream->total_out);
  if (output.capacity() - output.size() > (64 << 10)) output.shrink_to_fit();
  pool().give(gzip, std::move(deflater));
  return output;
}

}  // namespace engine
