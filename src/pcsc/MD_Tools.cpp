#include "pcsc/MD_Tools.h"

#include "base/TextConv.h"

namespace pcsc {
namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

template <typename TChar, typename TConvert>
bool SplitMultiString(const TChar* buffer, size_t length, TStringList* list, TConvert convert) {
  if (!list) return false;
  list->clear();
  if (!buffer || length == 0) return true;
  if (length == 1) return buffer[0] == 0;
  if (buffer[length - 1] != 0 || buffer[length - 2] != 0) return false;
  size_t start = 0;
  for (size_t i = 0; i < length; ++i) {
    if (buffer[i] != 0) continue;
    if (i > start) list->push_back(convert(buffer + start, i - start));
    start = i + 1;
  }
  return true;
}

}  // namespace

std::string BytesToHex(const TBytes& bytes) {
  std::string text;
  text.reserve(bytes.size() * 3);
  for (uint8_t b : bytes) {
    if (!text.empty()) text += ' ';
    text += kHexDigits[b >> 4];
    text += kHexDigits[b & 0xF];
  }
  return text;
}

uint8_t HexDigitValue(char c) {
  if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  if (c >= '0' && c <= '9') return static_cast<uint8_t>(c - '0');
  if (c >= 'A' && c <= 'F') return static_cast<uint8_t>(c - 'A' + 10);
  return 255;
}

TBytes HexToBytes(const std::string& text) {
  std::string digits;
  digits.reserve(text.size() + 1);
  for (char c : text)
    if (HexDigitValue(c) != 255) digits += c;
  if (digits.size() % 2 != 0) digits.insert(digits.begin(), '0');
  TBytes bytes;
  bytes.reserve(digits.size() / 2);
  for (size_t i = 0; i < digits.size(); i += 2)
    bytes.push_back(
        static_cast<uint8_t>(HexDigitValue(digits[i]) << 4 | HexDigitValue(digits[i + 1])));
  return bytes;
}

bool MultiStringToList(const char16_t* buffer, size_t length, TStringList* list) {
  return SplitMultiString(buffer, length, list, [](const char16_t* s, size_t n) {
    return base::Utf16ToUtf8(std::u16string_view(s, n));
  });
}

bool MultiStringToList(const char* buffer, size_t length, TStringList* list) {
  return SplitMultiString(buffer, length, list,
                          [](const char* s, size_t n) { return std::string(s, n); });
}

}  // namespace pcsc
