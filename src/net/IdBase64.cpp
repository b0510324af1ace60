#include "net/IdBase64.h"

#include <cstdint>

namespace net {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int DigitValue(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

bool IsSkipped(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

}  // namespace

std::string Base64Encode(std::string_view data) {
  std::string out;
  out.reserve((data.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= data.size(); i += 3) {
    uint32_t n = uint32_t(uint8_t(data[i])) << 16 | uint32_t(uint8_t(data[i + 1])) << 8 |
                 uint8_t(data[i + 2]);
    out += kAlphabet[n >> 18];
    out += kAlphabet[(n >> 12) & 63];
    out += kAlphabet[(n >> 6) & 63];
    out += kAlphabet[n & 63];
  }
  size_t rest = data.size() - i;
  if (rest > 0) {
    uint32_t n = uint32_t(uint8_t(data[i])) << 16;
    if (rest == 2) n |= uint32_t(uint8_t(data[i + 1])) << 8;
    out += kAlphabet[n >> 18];
    out += kAlphabet[(n >> 12) & 63];
    out += rest == 2 ? kAlphabet[(n >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::optional<std::string> Base64Decode(std::string_view text) {
  std::string digits;
  for (char c : text) {
    if (!IsSkipped(c)) digits += c;
  }
  if (digits.size() % 4 != 0) return std::nullopt;
  std::string out;
  out.reserve(digits.size() / 4 * 3);
  for (size_t i = 0; i < digits.size(); i += 4) {
    bool last = i + 4 == digits.size();
    int pad = 0;
    uint32_t n = 0;
    for (size_t j = 0; j < 4; ++j) {
      char c = digits[i + j];
      if (c == '=') {
        // Padding only in the last group, only in its last two places, and only trailing.
        if (!last || j < 2) return std::nullopt;
        ++pad;
        n <<= 6;
        continue;
      }
      int v = DigitValue(c);
      if (v < 0 || pad > 0) return std::nullopt;
      n = n << 6 | uint32_t(v);
    }
    out += char(n >> 16);
    if (pad < 2) out += char((n >> 8) & 0xFF);
    if (pad < 1) out += char(n & 0xFF);
  }
  return out;
}

}  // namespace net
