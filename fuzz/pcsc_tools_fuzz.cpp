// Hex text to bytes and PC/SC multi-strings (both widths) on arbitrary bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "pcsc/MD_Tools.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const pcsc::TBytes bytes = pcsc::HexToBytes(text);
  if (bytes.size() > size / 2 + 1) abort();
  // Bytes written as hex read back as the same bytes.
  if (pcsc::HexToBytes(pcsc::BytesToHex(bytes)) != bytes) abort();

  pcsc::TStringList list;
  if (pcsc::MultiStringToList(text.data(), text.size(), &list)) {
    size_t total = 0;
    for (const std::string& name : list) total += name.size() + 1;
    if (total > size) abort();
  }
  std::vector<char16_t> wide(size / 2);
  if (!wide.empty()) std::memcpy(wide.data(), data, wide.size() * sizeof(char16_t));
  (void)pcsc::MultiStringToList(wide.data(), wide.size(), &list);
  return 0;
}
