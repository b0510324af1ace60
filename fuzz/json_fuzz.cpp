// The JSON parser on arbitrary text; whatever it accepts writes out as JSON of the same kind,
// and from then on writing and reading again changes nothing. (A negative zero reads back as
// 0, an infinity is written as 0: the first round may settle such numbers.)
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "json/JsonValue.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const json::TJSONValue value = json::TJSONValue::Parse(text);
  (void)value.AsStringForm();
  const std::string written = value.ToJSON();
  const json::TJSONValue again = json::TJSONValue::Parse(written);
  if (again.Type() != value.Type()) abort();
  const std::string settled = again.ToJSON();
  if (json::TJSONValue::Parse(settled).ToJSON() != settled) abort();
  for (size_t i = 0; i < value.Count() && i < 8; ++i) (void)value.Element(i).AsString();
  (void)value.Member("name").AsString();
  return 0;
}
