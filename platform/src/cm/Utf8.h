// Strict UTF-8 checking for the host-side text the machine reads (registry
// files, simulator scripts): a byte sequence the decoder would turn into a
// replacement character is refused instead of read as something else.
#pragma once

#include <string_view>

namespace plat {

// True when text is well-formed UTF-8: no stray continuation byte, no
// truncated or overlong sequence, no surrogate, nothing above U+10FFFF.
bool IsValidUtf8(std::string_view text);

}  // namespace plat
