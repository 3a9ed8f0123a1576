// Whole-body compression for the gzip and deflate content codings.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace engine {

inline constexpr int kResponseLevel = 1;   // per response: fastest
inline constexpr int kDocumentLevel = -1;  // fixed documents: zlib's default

// gzip: a gzip-wrapped deflate stream whose header has the text flag set,
// `gzipTime` as its modification time and every other field zero.
// Otherwise a zlib-wrapped stream, which is what the "deflate" coding sends.
std::string compressBody(bool gzip, std::string_view input, int level, std::uint32_t gzipTime);

}  // namespace engine
