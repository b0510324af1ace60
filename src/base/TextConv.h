#pragma once

#include <string>
#include <string_view>

namespace base {

// UTF-8 <-> UTF-16 for the platform edge. Malformed input becomes U+FFFD, never an error.
std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);

}  // namespace base
