#include "engine/compression.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <string>

namespace {

// Inflates a gzip (windowBits 31) or zlib (15) stream back.
std::string inflateAll(const std::string& packed, int windowBits) {
  z_stream stream{};
  inflateInit2(&stream, windowBits);
  std::string out(1 << 20, '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(packed.data()));
  stream.avail_in = uInt(packed.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = uInt(out.size());
  const int rc = inflate(&stream, Z_FINISH);
  out.resize(stream.total_out);
  inflateEnd(&stream);
  return rc == Z_STREAM_END ? out : "<broken stream>";
}

std::uint32_t littleEndian32(const std::string& s, std::size_t at) {
  return std::uint32_t(std::uint8_t(s[at])) | std::uint32_t(std::uint8_t(s[at + 1])) << 8 |
         std::uint32_t(std::uint8_t(s[at + 2])) << 16 |
         std::uint32_t(std::uint8_t(s[at + 3])) << 24;
}

TEST(Compression, GzipHeaderCarriesTextFlagAndTime) {
  const std::string body(5000, 'x');
  for (int level : {engine::kResponseLevel, engine::kDocumentLevel}) {
    const std::string gz = engine::compressBody(true, body, level, 1700000000u);
    ASSERT_GE(gz.size(), 18u);
    EXPECT_EQ(std::uint8_t(gz[0]), 0x1F);
    EXPECT_EQ(std::uint8_t(gz[1]), 0x8B);
    EXPECT_EQ(std::uint8_t(gz[2]), 0x08);
    EXPECT_EQ(std::uint8_t(gz[3]), 0x01);  // FTEXT only
    EXPECT_EQ(littleEndian32(gz, 4), 1700000000u);
    EXPECT_EQ(std::uint8_t(gz[9]), 0);  // operating-system code
    EXPECT_EQ(inflateAll(gz, 31), body);
  }
}

TEST(Compression, DeflateIsAZlibStreamEndingInAdler32) {
  const std::string inputs[] = {"", "a", std::string(100000, 'z'), "<?xml version=\"1.0\"?>"};
  for (const std::string& body : inputs) {
    const std::string packed = engine::compressBody(false, body, engine::kResponseLevel, 0);
    ASSERT_GE(packed.size(), 6u);
    EXPECT_EQ(std::uint8_t(packed[0]), 0x78);
    const uLong adler = adler32(adler32(0, nullptr, 0), reinterpret_cast<const Bytef*>(body.data()),
                                uInt(body.size()));
    const std::size_t n = packed.size();
    const std::uint32_t trailer = std::uint32_t(std::uint8_t(packed[n - 4])) << 24 |
                                  std::uint32_t(std::uint8_t(packed[n - 3])) << 16 |
                                  std::uint32_t(std::uint8_t(packed[n - 2])) << 8 |
                                  std::uint32_t(std::uint8_t(packed[n - 1]));
    EXPECT_EQ(trailer, adler);
    EXPECT_EQ(inflateAll(packed, 15), body);
  }
}

// Small noise fits the first output buffer; large noise outgrows it (a
// large body starts with an eighth of its size) several times over.
TEST(Compression, IncompressibleInputStillFitsAndRoundTrips) {
  for (const std::size_t size : {70000u, 600000u}) {
    std::string noise(size, '\0');
    std::uint32_t seed = 12345;
    for (char& c : noise) {
      seed = seed * 1103515245u + 12345u;
      c = char(seed >> 24);
    }
    for (bool gzip : {true, false}) {
      const std::string packed = engine::compressBody(gzip, noise, engine::kResponseLevel, 1);
      EXPECT_EQ(inflateAll(packed, gzip ? 31 : 15), noise) << size << (gzip ? " gzip" : " deflate");
      EXPECT_LE(packed.capacity() - packed.size(), std::size_t(64 << 10)) << size;
    }
  }
}

}  // namespace
