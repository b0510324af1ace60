#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace json {

enum class TJSONType { jtNull, jtBoolean, jtNumber, jtString, jtObject, jtArray };

// One JSON value: null, Boolean, number, string (UTF-8), object or array. Values are plain
// copyable data; objects keep their members in insertion order and the writer sorts them.
class TJSONValue {
 public:
  TJSONValue() = default;  // null

  static TJSONValue Boolean(bool value);
  static TJSONValue Integer(int64_t value);
  static TJSONValue Number(double value);
  static TJSONValue String(std::string utf8);
  static TJSONValue Object();
  static TJSONValue Array();

  // Lenient parse: the value of the text, or null when the text is not JSON. Blanks around
  // the value are allowed; anything else behind it makes the text "not JSON".
  static TJSONValue Parse(std::string_view text);

  TJSONType Type() const { return FType; }
  bool IsNull() const { return FType == TJSONType::jtNull; }
  bool IsBoolean() const { return FType == TJSONType::jtBoolean; }
  bool IsNumber() const { return FType == TJSONType::jtNumber; }
  bool IsString() const { return FType == TJSONType::jtString; }
  bool IsObject() const { return FType == TJSONType::jtObject; }
  bool IsArray() const { return FType == TJSONType::jtArray; }

  // Readers of the scalar kinds; a value of another kind reads as false, 0 or "".
  bool AsBoolean() const;
  double AsNumber() const;
  int64_t AsInteger() const;
  const std::string& AsString() const;

  // Objects: the member of that name (exact comparison), or a null value when it is missing
  // or this is not an object.
  const TJSONValue& Member(std::string_view name) const;
  bool HasMember(std::string_view name) const;
  // Adds the member, or replaces the value of an existing one. Turns a null value into an
  // object; does nothing on other kinds.
  TJSONValue& Set(std::string_view name, TJSONValue value);
  const std::vector<std::string>& MemberNames() const { return FNames; }

  // Arrays (and objects, by position): number of elements and the element at an index, or a
  // null value out of range.
  size_t Count() const { return FItems.size(); }
  const TJSONValue& Element(size_t index) const;
  // Appends an element. Turns a null value into an array; does nothing on other kinds.
  TJSONValue& Add(TJSONValue value);

  // Compact JSON with full escaping: members in ascending order of their names (UTF-16 code
  // units), every character below U+0020 or from U+0080 escaped, "/" written as "\/".
  std::string ToJSON() const;
  // The string form: a string gives its raw text; any other value its compact JSON with light
  // escaping (only U+0000, quotation mark, reverse solidus and solidus are escaped).
  std::string AsStringForm() const;

 private:
  TJSONType FType = TJSONType::jtNull;
  bool FBool = false;
  bool FIsInteger = false;
  int64_t FInt = 0;
  double FDouble = 0;
  std::string FString;
  std::vector<std::string> FNames;  // objects: names, parallel to FItems
  std::vector<TJSONValue> FItems;   // objects: member values; arrays: elements

  friend class TJSONWriter;
  friend class TJSONParser;
};

// Writes text as a JSON string literal body (without the quotation marks) in one of the two
// escaping styles of the writer.
enum class TJSONEscaping { jeFull, jeLight };
void AppendEscaped(std::string& out, std::string_view utf8, TJSONEscaping escaping);

}  // namespace json
