#include "engine/compression.h"

#include <zlib.h>

namespace engine {

std::string compressBody(bool gzip, std::string_view input, int level, std::uint32_t gzipTime) {
  z_stream stream{};
  gz_header header{};
  if (gzip) {
    deflateInit2(&stream, level, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
    header.text = 1;
    header.time = gzipTime;
    header.os = 0;
    deflateSetHeader(&stream, &header);
  } else {
    deflateInit(&stream, level);
  }

  // compressBound leaves out the gzip header and trailer: 18 bytes more.
  std::string output(compressBound(uLong(input.size())) + 18, '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data()));
  stream.avail_in = uInt(input.size());
  stream.next_out = reinterpret_cast<Bytef*>(output.data());
  stream.avail_out = uInt(output.size());
  while (deflate(&stream, Z_FINISH) == Z_OK) {
  }
  output.resize(stream.total_out);
  deflateEnd(&stream);
  return output;
}

}  // namespace engine
