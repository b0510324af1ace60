#include <gtest/gtest.h>

#include <string>

#include "net/IdBase64.h"
#include "net/IdSHA1.h"

namespace {

std::string Hex(const net::TIdSHA1Digest& digest) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (uint8_t b : digest) {
    out += kHex[b >> 4];
    out += kHex[b & 15];
  }
  return out;
}

std::string Repeat(const std::string& text, size_t times) {
  std::string out;
  for (size_t i = 0; i < times; ++i) out += text;
  return out;
}

// RFC 3174, section 7.3, plus the block-boundary lengths around the padding.
TEST(SHA1, PublishedVectors) {
  struct {
    std::string input;
    const char* digest;
  } cases[] = {
      {"abc", "A9993E364706816ABA3E25717850C26C9CD0D89D"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "84983E441C3BD26EBAAE4AA1F95129E5E54670F1"},
      {std::string(1000000, 'a'), "34AA973CD4C4DAA4F61EEB2BDBAD27316534016F"},
      {Repeat("0123456701234567012345670123456701234567012345670123456701234567", 10),
       "DEA356A2CDDD90C7A7ECEDC5EBB563934F460452"},
      {"", "DA39A3EE5E6B4B0D3255BFEF95601890AFD80709"},
      {std::string(55, 'a'), "C1C8BBDC22796E28C0E15163D20899B65621D65A"},
      {std::string(56, 'a'), "C2DB330F6083854C99D4B5BFB6E8F29F201BE699"},
      {std::string(64, 'a'), "0098BA824B5C16427BD7A1122A5A442A25EC644D"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Hex(net::SHA1(c.input)), c.digest) << "input length " << c.input.size();
  }
}

// RFC 4648, section 10.
TEST(Base64, PublishedVectorsBothWays) {
  struct {
    const char* plain;
    const char* encoded;
  } cases[] = {{"", ""},
               {"f", "Zg=="},
               {"fo", "Zm8="},
               {"foo", "Zm9v"},
               {"foob", "Zm9vYg=="},
               {"fooba", "Zm9vYmE="},
               {"foobar", "Zm9vYmFy"}};
  for (const auto& c : cases) {
    EXPECT_EQ(net::Base64Encode(c.plain), c.encoded);
    auto decoded = net::Base64Decode(c.encoded);
    ASSERT_TRUE(decoded.has_value()) << c.encoded;
    EXPECT_EQ(*decoded, c.plain);
  }
}

TEST(Base64, AllByteValuesRoundTrip) {
  std::string bytes;
  for (int i = 0; i < 256; ++i) bytes += char(i);
  EXPECT_EQ(net::Base64Decode(net::Base64Encode(bytes)), bytes);
}

TEST(Base64, MalformedTextIsRefused) {
  for (const char* text : {"Zg=", "Zg", "Z===", "Zm9v!A==", "=Zm9", "Zg==Zm8=", "Zm=v"}) {
    EXPECT_FALSE(net::Base64Decode(text).has_value()) << text;
  }
}

}  // namespace
