// A Range header value against a file of any size: the window it selects
// must lie inside the file, for every value a client can send.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "web/static_files.h"
#include "web/web_request.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Eight bytes of file size, then the header value. Small sizes are the
  // interesting ones for most values, so the top byte scales the size down.
  if (size < 8) return 0;
  std::uint64_t fileSize = 0;
  std::memcpy(&fileSize, data, sizeof fileSize);
  fileSize >>= (data[7] & 0x3f);
  const std::string_view value(reinterpret_cast<const char*>(data + 8), size - 8);

  web::WebRequest request;
  const bool both = web::parseRange(value, request);
  if (both && (!request.rangeRequested || request.rangeStart < 0 || request.rangeLength < 0)) {
    std::abort();
  }
  if (!request.rangeRequested && (request.rangeStart != 0 || request.rangeLength != 0)) {
    std::abort();
  }

  const std::optional<web::ByteWindow> window = web::byteWindow(request, fileSize);
  if (window && (window->offset > fileSize || window->length > fileSize - window->offset)) {
    std::abort();
  }
  if (!request.rangeRequested && (!window || window->offset != 0 || window->length != fileSize)) {
    std::abort();
  }
  return 0;
}
