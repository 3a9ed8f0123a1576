#include "engine/request_collector.h"

namespace engine {
namespace {

constexpr std::string_view kBlankLine = "\r\n\r\n";

}  // namespace

RequestCollector::Status RequestCollector::append(std::string_view bytes) {
  bytes_.append(bytes);
  return evaluate();
}

void RequestCollector::clear() {
  bytes_.clear();
  searchedUpTo_ = 0;
  blankLine_ = std::string::npos;
  expectedSize_ = 0;
  lengthUnusable_ = false;
}

RequestCollector::Status RequestCollector::evaluate() {
  const std::string_view bytes = bytes_;
  if (bytes.size() < 8) {
    return bytes.find(kBlankLine) == std::string_view::npos ? Status::Waiting : Status::Malformed;
  }
  // These tests look at a fixed number of bytes, so they cost nothing per
  // receive. A request with anything after its blank line never completes.
  if (bytes.starts_with("GET ") || bytes.starts_with("HEAD ") || bytes.starts_with("SUBSCRIBE ") ||
      bytes.starts_with("UNSUBSCRIBE ")) {
    return bytes.ends_with(kBlankLine) ? Status::Complete : Status::Waiting;
  }
  if (bytes.starts_with("POST ")) return evaluatePost();
  return Status::Malformed;
}

RequestCollector::Status RequestCollector::evaluatePost() {
  const std::string_view bytes = bytes_;
  if (blankLine_ == std::string::npos) {
    // A blank line may straddle the last receive: back up by its length
    // less one.
    const std::size_t from = searchedUpTo_ >= 3 ? searchedUpTo_ - 3 : 0;
    blankLine_ = bytes.find(kBlankLine, from);
    searchedUpTo_ = bytes.size();
    if (blankLine_ == std::string::npos) return Status::Waiting;

    // Only the head names the length; a body line that looks like a header
    // is body.
    std::int64_t length = 0;
    const std::uint64_t headSize = blankLine_ + kBlankLine.size();
    if (contentLength(bytes.substr(0, blankLine_), length) != LengthHeader::Valid ||
        headSize > limit_ || std::uint64_t(length) > limit_ - headSize) {
      lengthUnusable_ = true;
    } else {
      expectedSize_ = headSize + std::uint64_t(length);
    }
  }
  if (lengthUnusable_) return Status::Malformed;
  return bytes.size() == expectedSize_ ? Status::Complete : Status::Waiting;
}

}  // namespace engine
