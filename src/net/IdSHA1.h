#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace net {

using TIdSHA1Digest = std::array<uint8_t, 20>;

// SHA-1 of a byte string (FIPS 180-1); used for the WebSocket accept value.
TIdSHA1Digest SHA1(std::string_view data);

}  // namespace net
