#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pcsc {

using TBytes = std::vector<uint8_t>;
using TStringList = std::vector<std::string>;

// Upper-case hex pairs separated by single blanks: 3B 8F 80.
std::string BytesToHex(const TBytes& bytes);
// 0..15 for a hex digit (either case), 255 for anything else.
uint8_t HexDigitValue(char c);
// Keeps only hex digits, pads an odd count with a leading 0, and pairs them into bytes.
TBytes HexToBytes(const std::string& text);

// Splits a PC/SC multi-string (names closed by NUL, the whole closed by a second NUL) of
// `length` characters, closing NULs included. The 16-bit form is the wide-character API's
// (names come back as UTF-8); the 8-bit form is pcsc-lite's (UTF-8 already).
bool MultiStringToList(const char16_t* buffer, size_t length, TStringList* list);
bool MultiStringToList(const char* buffer, size_t length, TStringList* list);

}  // namespace pcsc
