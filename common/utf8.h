// Text from outside (a playlist written in any editor, in any character set)
// made fit for UTF-8 documents such as XML.
#pragma once

#include <string>
#include <string_view>

namespace common {

// `text` as valid UTF-8 without control characters: each ill-formed byte
// sequence (a stray byte, a truncated, overlong or surrogate sequence, a
// value past U+10FFFF) becomes U+FFFD, one per maximal ill-formed part; the
// non-characters U+FFFE and U+FFFF, which XML cannot carry, become U+FFFD as
// well; C0 controls other than tab, DEL and the C1 controls are dropped.
// Clean text comes back unchanged.
std::string cleanUtf8(std::string_view text);

}  // namespace common
