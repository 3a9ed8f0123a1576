// Collects the bytes of one request as they arrive and says when it can be
// answered, by the same rules as isComplete. Each receive costs only its own
// bytes: the blank line is searched from where the last search stopped, the
// head's Content-Length is read once, when the blank line first appears, and
// after that the body is only counted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/request_parser.h"

namespace engine {

class RequestCollector {
 public:
  enum class Status {
    Waiting,    // more bytes may still complete it
    Complete,   // parse and answer it
    Malformed,  // answer 400 without parsing
  };

  // `limit` is the most a request may hold. A POST whose Content-Length can
  // never fit it is malformed at once rather than waited for.
  explicit RequestCollector(std::size_t limit = kLargestRequest) : limit_(limit) {}

  Status append(std::string_view bytes);
  // Ready for the next request of a kept connection.
  void clear();
  // Whether the head is in, up to its blank line, while a POST's body is
  // still coming. A GET is answered once its head is in.
  bool headComplete() const { return blankLine_ != std::string::npos; }
  const std::string& bytes() const { return bytes_; }

 private:
  Status evaluate();
  Status evaluatePost();

  std::string bytes_;
  std::size_t limit_;
  std::size_t searchedUpTo_ = 0;  // no blank line starts before this
  std::size_t blankLine_ = std::string::npos;
  std::uint64_t expectedSize_ = 0;  // head and body of a POST, once known
  bool lengthUnusable_ = false;
};

}  // namespace engine
