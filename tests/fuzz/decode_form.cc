// Form fields of a query string or POST body, url-encoded or multipart. The
// first byte picks the encoding; for multipart the next byte is the length
// of the boundary that follows, and the rest is the body.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "web/php_gateway.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
  std::string contentType;
  if (data[0] & 1) {
    const std::size_t length = std::min<std::size_t>(std::uint8_t(rest[0]) % 72, rest.size() - 1);
    contentType = "multipart/form-data; boundary=" + std::string(rest.substr(1, length));
    rest.remove_prefix(1 + length);
  } else {
    contentType = data[0] & 2 ? " Application/X-WWW-Form-Urlencoded; charset=UTF-8"
                              : "application/x-www-form-urlencoded";
  }

  std::vector<web::FormField> fields;
  if (!web::decodeForm(rest, contentType, fields)) std::abort();
  if (!(data[0] & 1)) {
    // Every field is one "&"-separated piece with a value.
    std::size_t pieces = 1;
    for (char c : rest) pieces += c == '&';
    if (fields.size() > pieces) std::abort();
    for (const web::FormField& field : fields) {
      if (field.value.empty()) std::abort();
    }
  }
  return 0;
}
