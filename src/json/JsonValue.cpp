#include "json/JsonValue.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <numeric>
#include <unordered_map>

namespace json {

namespace {

const TJSONValue& NullValue() {
  static const TJSONValue null;
  return null;
}

// Decodes the code point at text[pos] and advances pos; a malformed sequence yields U+FFFD
// and consumes one byte.
char32_t DecodeUtf8(std::string_view text, size_t& pos) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(pos);
  if (lead < 0x80) {
    ++pos;
    return lead;
  }
  size_t length = 0;
  char32_t cp = 0;
  char32_t minimum = 0;
  if ((lead & 0xE0) == 0xC0) {
    length = 2, cp = lead & 0x1F, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, cp = lead & 0x0F, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, cp = lead & 0x07, minimum = 0x10000;
  } else {
    ++pos;
    return 0xFFFD;
  }
  if (pos + length > text.size()) {
    ++pos;
    return 0xFFFD;
  }
  for (size_t i = 1; i < length; ++i) {
    if ((byte(pos + i) & 0xC0) != 0x80) {
      ++pos;
      return 0xFFFD;
    }
    cp = (cp << 6) | (byte(pos + i) & 0x3F);
  }
  if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    ++pos;
    return 0xFFFD;
  }
  pos += length;
  return cp;
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

std::u16string Utf16Units(std::string_view utf8) {
  std::u16string units;
  for (size_t pos = 0; pos < utf8.size();) {
    const char32_t cp = DecodeUtf8(utf8, pos);
    if (cp >= 0x10000) {
      units += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
      units += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      units += static_cast<char16_t>(cp);
    }
  }
  return units;
}

void AppendHex4(std::string& out, unsigned unit) {
  static const char kDigits[] = "0123456789abcdef";
  out += "\\u";
  for (int shift = 12; shift >= 0; shift -= 4) out += kDigits[(unit >> shift) & 0xF];
}

}  // namespace

void AppendEscaped(std::string& out, std::string_view utf8, TJSONEscaping escaping) {
  for (size_t pos = 0; pos < utf8.size();) {
    if (escaping == TJSONEscaping::jeLight) {
      const char c = utf8[pos++];
      switch (c) {
        case '\0':
          out += "\\u0000";
          break;
        case '"':
          out += "\\\"";
          break;
        case '\\':
          out += "\\\\";
          break;
        case '/':
          out += "\\/";
          break;
        default:
          out += c;
      }
      continue;
    }
    const char32_t cp = DecodeUtf8(utf8, pos);
    switch (cp) {
      case '\b':
        out += "\\b";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\r':
        out += "\\r";
        break;
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '/':
        out += "\\/";
        break;
      default:
        if (cp >= 0x20 && cp < 0x80) {
          out += static_cast<char>(cp);
        } else if (cp >= 0x10000) {
          AppendHex4(out, 0xD800 + ((cp - 0x10000) >> 10));
          AppendHex4(out, 0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
          AppendHex4(out, cp);
        }
    }
  }
}

// ---------------------------------------------------------------------------------------------

class TJSONWriter {
 public:
  explicit TJSONWriter(TJSONEscaping escaping) : FEscaping(escaping) {}

  void Write(std::string& out, const TJSONValue& v) const {
    switch (v.FType) {
      case TJSONType::jtNull:
        out += "null";
        break;
      case TJSONType::jtBoolean:
        out += v.FBool ? "true" : "false";
        break;
      case TJSONType::jtNumber:
        WriteNumber(out, v);
        break;
      case TJSONType::jtString:
        WriteString(out, v.FString);
        break;
      case TJSONType::jtArray:
        out += '[';
        for (size_t i = 0; i < v.FItems.size(); ++i) {
          if (i) out += ',';
          Write(out, v.FItems[i]);
        }
        out += ']';
        break;
      case TJSONType::jtObject:
        WriteObject(out, v);
        break;
    }
  }

 private:
  void WriteString(std::string& out, std::string_view text) const {
    out += '"';
    AppendEscaped(out, text, FEscaping);
    out += '"';
  }

  static void WriteNumber(std::string& out, const TJSONValue& v) {
    char buffer[64];
    std::to_chars_result r;
    if (v.FIsInteger) {
      r = std::to_chars(buffer, buffer + sizeof buffer, v.FInt);
    } else if (!std::isfinite(v.FDouble)) {
      out += "null";  // JSON has no spelling for these
      return;
    } else {
      r = std::to_chars(buffer, buffer + sizeof buffer, v.FDouble);
    }
    out.append(buffer, r.ptr);
  }

  void WriteObject(std::string& out, const TJSONValue& v) const {
    std::vector<std::u16string> keys;
    keys.reserve(v.FNames.size());
    for (const auto& name : v.FNames) keys.push_back(Utf16Units(name));
    std::vector<size_t> order(v.FNames.size());
    std::iota(order.begin(), order.end(), size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return keys[a] < keys[b]; });
    out += '{';
    bool first = true;
    for (const size_t i : order) {
      if (!first) out += ',';
      first = false;
      WriteString(out, v.FNames[i]);
      out += ':';
      Write(out, v.FItems[i]);
    }
    out += '}';
  }

  TJSONEscaping FEscaping;
};

// ---------------------------------------------------------------------------------------------

class TJSONParser {
 public:
  explicit TJSONParser(std::string_view text) : FText(text) {}

  bool ParseDocument(TJSONValue& out) {
    SkipBlanks();
    if (!ParseValue(out, 0)) return false;
    SkipBlanks();
    return FPos == FText.size();
  }

 private:
  // Deep nesting is refused rather than allowed to exhaust the stack.
  static constexpr int kMaxDepth = 256;

  void SkipBlanks() {
    while (FPos < FText.size() && (FText[FPos] == ' ' || FText[FPos] == '\t' ||
                                   FText[FPos] == '\n' || FText[FPos] == '\r'))
      ++FPos;
  }

  bool Consume(std::string_view word) {
    if (FText.substr(FPos, word.size()) != word) return false;
    FPos += word.size();
    return true;
  }

  bool ParseValue(TJSONValue& out, int depth) {
    if (FPos >= FText.size() || depth > kMaxDepth) return false;
    const char c = FText[FPos];
    if (c == '{') return ParseObject(out, depth);
    if (c == '[') return ParseArray(out, depth);
    if (c == '"') {
      out.FType = TJSONType::jtString;
      return ParseString(out.FString);
    }
    if (c == '-' || (c >= '0' && c <= '9')) return ParseNumber(out);
    if (Consume("true")) return out = TJSONValue::Boolean(true), true;
    if (Consume("false")) return out = TJSONValue::Boolean(false), true;
    if (Consume("null")) return out = TJSONValue(), true;
    return false;
  }

  bool ParseObject(TJSONValue& out, int depth) {
    out = TJSONValue::Object();
    ++FPos;
    SkipBlanks();
    if (Consume("}")) return true;
    // A repeated name keeps its first position and its last value; the index keeps objects
    // with many members linear to read.
    std::unordered_map<std::string, size_t> index;
    for (;;) {
      SkipBlanks();
      std::string name;
      if (FPos >= FText.size() || FText[FPos] != '"' || !ParseString(name)) return false;
      SkipBlanks();
      if (!Consume(":")) return false;
      SkipBlanks();
      TJSONValue value;
      if (!ParseValue(value, depth + 1)) return false;
      const auto [at, added] = index.try_emplace(name, out.FNames.size());
      if (added) {
        out.FNames.push_back(std::move(name));
        out.FItems.push_back(std::move(value));
      } else {
        out.FItems[at->second] = std::move(value);
      }
      SkipBlanks();
      if (Consume("}")) return true;
      if (!Consume(",")) return false;
    }
  }

  bool ParseArray(TJSONValue& out, int depth) {
    out = TJSONValue::Array();
    ++FPos;
    SkipBlanks();
    if (Consume("]")) return true;
    for (;;) {
      SkipBlanks();
      TJSONValue value;
      if (!ParseValue(value, depth + 1)) return false;
      out.FItems.push_back(std::move(value));
      SkipBlanks();
      if (Consume("]")) return true;
      if (!Consume(",")) return false;
    }
  }

  bool ParseHex4(unsigned& unit) {
    if (FPos + 4 > FText.size()) return false;
    unit = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = FText[FPos++];
      unit <<= 4;
      if (c >= '0' && c <= '9') {
        unit |= c - '0';
      } else if (c >= 'a' && c <= 'f') {
        unit |= c - 'a' + 10;
      } else if (c >= 'A' && c <= 'F') {
        unit |= c - 'A' + 10;
      } else {
        return false;
      }
    }
    return true;
  }

  // At the opening quotation mark. Lone surrogates in \u escapes become U+FFFD.
  bool ParseString(std::string& out) {
    ++FPos;
    while (FPos < FText.size()) {
      const char c = FText[FPos++];
      if (c == '"') return true;
      if (static_cast<unsigned char>(c) < 0x20) return false;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (FPos >= FText.size()) return false;
      const char e = FText[FPos++];
      switch (e) {
        case '"':
          out += '"';
          break;
        case '\\':
          out += '\\';
          break;
        case '/':
          out += '/';
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'u': {
          unsigned unit = 0;
          if (!ParseHex4(unit)) return false;
          char32_t cp = unit;
          if (unit >= 0xD800 && unit <= 0xDBFF) {
            const size_t save = FPos;
            unsigned low = 0;
            if (Consume("\\u") && ParseHex4(low) && low >= 0xDC00 && low <= 0xDFFF) {
              cp = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
            } else {
              FPos = save;
              cp = 0xFFFD;
            }
          } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
            cp = 0xFFFD;
          }
          AppendUtf8(out, cp);
          break;
        }
        default:
          return false;
      }
    }
    return false;
  }

  bool ParseNumber(TJSONValue& out) {
    const size_t start = FPos;
    const auto digits = [&] {
      const size_t from = FPos;
      while (FPos < FText.size() && FText[FPos] >= '0' && FText[FPos] <= '9') ++FPos;
      return FPos > from;
    };
    Consume("-");
    if (!digits()) return false;
    bool integral = true;
    if (Consume(".")) {
      integral = false;
      if (!digits()) return false;
    }
    if (FPos < FText.size() && (FText[FPos] == 'e' || FText[FPos] == 'E')) {
      integral = false;
      ++FPos;
      if (!Consume("+")) Consume("-");
      if (!digits()) return false;
    }
    const char* first = FText.data() + start;
    const char* last = FText.data() + FPos;
    if (integral) {
      int64_t value = 0;
      if (std::from_chars(first, last, value).ec == std::errc()) {
        out = TJSONValue::Integer(value);
        return true;
      }
    }
    double value = 0;
    const auto r = std::from_chars(first, last, value);
    if (r.ec != std::errc() && r.ec != std::errc::result_out_of_range) return false;
    out = TJSONValue::Number(value);
    return true;
  }

  std::string_view FText;
  size_t FPos = 0;
};

// ---------------------------------------------------------------------------------------------

TJSONValue TJSONValue::Boolean(bool value) {
  TJSONValue v;
  v.FType = TJSONType::jtBoolean;
  v.FBool = value;
  return v;
}

TJSONValue TJSONValue::Integer(int64_t value) {
  TJSONValue v;
  v.FType = TJSONType::jtNumber;
  v.FIsInteger = true;
  v.FInt = value;
  v.FDouble = static_cast<double>(value);
  return v;
}

TJSONValue TJSONValue::Number(double value) {
  TJSONValue v;
  v.FType = TJSONType::jtNumber;
  v.FDouble = value;
  return v;
}

TJSONValue TJSONValue::String(std::string utf8) {
  TJSONValue v;
  v.FType = TJSONType::jtString;
  v.FString = std::move(utf8);
  return v;
}

TJSONValue TJSONValue::Object() {
  TJSONValue v;
  v.FType = TJSONType::jtObject;
  return v;
}

TJSONValue TJSONValue::Array() {
  TJSONValue v;
  v.FType = TJSONType::jtArray;
  return v;
}

TJSONValue TJSONValue::Parse(std::string_view text) {
  TJSONValue result;
  TJSONParser parser(text);
  if (!parser.ParseDocument(result)) return TJSONValue();
  return result;
}

bool TJSONValue::AsBoolean() const {
  return FType == TJSONType::jtBoolean && FBool;
}

double TJSONValue::AsNumber() const {
  return FType == TJSONType::jtNumber ? FDouble : 0;
}

int64_t TJSONValue::AsInteger() const {
  if (FType != TJSONType::jtNumber) return 0;
  if (FIsInteger) return FInt;
  if (!std::isfinite(FDouble) || std::fabs(FDouble) >= 9.2e18) return 0;
  return static_cast<int64_t>(FDouble);
}

const std::string& TJSONValue::AsString() const {
  static const std::string empty;
  return FType == TJSONType::jtString ? FString : empty;
}

const TJSONValue& TJSONValue::Member(std::string_view name) const {
  if (FType != TJSONType::jtObject) return NullValue();
  for (size_t i = 0; i < FNames.size(); ++i)
    if (FNames[i] == name) return FItems[i];
  return NullValue();
}

bool TJSONValue::HasMember(std::string_view name) const {
  return FType == TJSONType::jtObject &&
         std::find(FNames.begin(), FNames.end(), name) != FNames.end();
}

TJSONValue& TJSONValue::Set(std::string_view name, TJSONValue value) {
  if (FType == TJSONType::jtNull) FType = TJSONType::jtObject;
  if (FType != TJSONType::jtObject) return *this;
  for (size_t i = 0; i < FNames.size(); ++i) {
    if (FNames[i] == name) {
      FItems[i] = std::move(value);
      return *this;
    }
  }
  FNames.emplace_back(name);
  FItems.push_back(std::move(value));
  return *this;
}

const TJSONValue& TJSONValue::Element(size_t index) const {
  return index < FItems.size() ? FItems[index] : NullValue();
}

TJSONValue& TJSONValue::Add(TJSONValue value) {
  if (FType == TJSONType::jtNull) FType = TJSONType::jtArray;
  if (FType == TJSONType::jtArray) FItems.push_back(std::move(value));
  return *this;
}

std::string TJSONValue::ToJSON() const {
  std::string out;
  TJSONWriter(TJSONEscaping::jeFull).Write(out, *this);
  return out;
}

std::string TJSONValue::AsStringForm() const {
  if (FType == TJSONType::jtString) return FString;
  std::string out;
  TJSONWriter(TJSONEscaping::jeLight).Write(out, *this);
  return out;
}

}  // namespace json
