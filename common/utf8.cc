#include "common/utf8.h"

namespace common {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

bool isDroppedControl(char32_t c) {
  return (c < 0x20 && c != '\t') || (c >= 0x7F && c <= 0x9F);
}

// The well-formed sequences by lead byte: their length and the range of the
// second byte (the others are always 80..BF). Zero length: not a lead byte.
struct Lead {
  std::size_t length;
  unsigned char low;
  unsigned char high;
};

Lead leadOf(unsigned char b) {
  if (b >= 0xC2 && b <= 0xDF) return {2, 0x80, 0xBF};
  if (b == 0xE0) return {3, 0xA0, 0xBF};  // no overlong forms
  if (b == 0xED) return {3, 0x80, 0x9F};  // no surrogates
  if (b >= 0xE1 && b <= 0xEF) return {3, 0x80, 0xBF};
  if (b == 0xF0) return {4, 0x90, 0xBF};  // no overlong forms
  if (b >= 0xF1 && b <= 0xF3) return {4, 0x80, 0xBF};
  if (b == 0xF4) return {4, 0x80, 0x8F};  // nothing past U+10FFFF
  return {0, 0, 0};
}

}  // namespace

std::string cleanUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const auto b = static_cast<unsigned char>(text[i]);
    if (b < 0x80) {
      if (!isDroppedControl(b)) out += char(b);
      ++i;
      continue;
    }
    const Lead lead = leadOf(b);
    if (lead.length == 0) {
      out += kReplacement;
      ++i;
      continue;
    }
    char32_t c = b & (0xFF >> (lead.length + 1));
    std::size_t k = 1;
    for (; k < lead.length && i + k < text.size(); ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      const unsigned char low = k == 1 ? lead.low : 0x80;
      const unsigned char high = k == 1 ? lead.high : 0xBF;
      if (next < low || next > high) break;
      c = (c << 6) | (next & 0x3F);
    }
    if (k < lead.length) {
      out += kReplacement;  // the valid start of a sequence that breaks off
    } else if (c == 0xFFFE || c == 0xFFFF) {
      out += kReplacement;
    } else if (!isDroppedControl(c)) {
      out.append(text.substr(i, k));
    }
    i += k;
  }
  return out;
}

}  // namespace common
