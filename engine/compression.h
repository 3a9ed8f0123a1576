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

// A response body in the request's content coding. When `compress` allows
// it and `coding` is gzip or deflate, the body is compressed into `storage`
// and `head` gets the Content-Encoding line; `head` always gets the
// Content-Length line of what is sent. Returns the bytes to send: `body`
// itself, or `storage` (which may also be where `body` was).
std::string_view codeBody(std::string& head, std::string_view body, int coding, bool compress,
                          std::uint32_t gzipTime, std::string& storage);

}  // namespace engine
