#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace net {

// Base64 with the standard alphabet and "=" padding (RFC 4648, section 4).
std::string Base64Encode(std::string_view data);

// Decodes padded Base64; blanks and line ends are skipped. Empty when the text is not valid
// Base64 (a character outside the alphabet, a wrong length or misplaced padding).
std::optional<std::string> Base64Decode(std::string_view text);

}  // namespace net
