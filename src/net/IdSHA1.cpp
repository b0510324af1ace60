#include "net/IdSHA1.h"

#include <string>

namespace net {
namespace {

uint32_t Rotl(uint32_t value, int bits) {
  return (value << bits) | (value >> (32 - bits));
}

void ProcessBlock(const uint8_t* block, uint32_t h[5]) {
  uint32_t w[80];
  for (int i = 0; i < 16; ++i) {
    w[i] = uint32_t(block[4 * i]) << 24 | uint32_t(block[4 * i + 1]) << 16 |
           uint32_t(block[4 * i + 2]) << 8 | uint32_t(block[4 * i + 3]);
  }
  for (int i = 16; i < 80; ++i) w[i] = Rotl(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
  uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
  for (int i = 0; i < 80; ++i) {
    uint32_t f, k;
    if (i < 20) {
      f = (b & c) | (~b & d);
      k = 0x5A827999;
    } else if (i < 40) {
      f = b ^ c ^ d;
      k = 0x6ED9EBA1;
    } else if (i < 60) {
      f = (b & c) | (b & d) | (c & d);
      k = 0x8F1BBCDC;
    } else {
      f = b ^ c ^ d;
      k = 0xCA62C1D6;
    }
    uint32_t temp = Rotl(a, 5) + f + e + k + w[i];
    e = d;
    d = c;
    c = Rotl(b, 30);
    b = a;
    a = temp;
  }
  h[0] += a;
  h[1] += b;
  h[2] += c;
  h[3] += d;
  h[4] += e;
}

}  // namespace

TIdSHA1Digest SHA1(std::string_view data) {
  uint32_t h[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
  size_t whole = data.size() / 64 * 64;
  for (size_t i = 0; i < whole; i += 64) {
    ProcessBlock(reinterpret_cast<const uint8_t*>(data.data()) + i, h);
  }
  // Padding: 0x80, zeros, then the bit length in 8 bytes, most significant first.
  std::string tail(data.substr(whole));
  tail.push_back(char(0x80));
  while (tail.size() % 64 != 56) tail.push_back('\0');
  uint64_t bits = uint64_t(data.size()) * 8;
  for (int i = 7; i >= 0; --i) tail.push_back(char((bits >> (8 * i)) & 0xFF));
  for (size_t i = 0; i < tail.size(); i += 64) {
    ProcessBlock(reinterpret_cast<const uint8_t*>(tail.data()) + i, h);
  }
  TIdSHA1Digest digest;
  for (int i = 0; i < 5; ++i) {
    for (int j = 0; j < 4; ++j) digest[4 * i + j] = uint8_t(h[i] >> (24 - 8 * j));
  }
  return digest;
}

}  // namespace net
