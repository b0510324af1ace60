#include "json/JsonValue.h"

#include <gtest/gtest.h>

namespace json {
namespace {

TEST(JsonValueTest, ParseReadsMembersElementsAndTypes) {
  const TJSONValue v = TJSONValue::Parse(
      R"( {"name":"read","args":[1, -2.5, true, null, "x\u00e9\ud83d\ude00", {"k":[]}],)"
      R"("n":9007199254740993} )");
  ASSERT_TRUE(v.IsObject());
  EXPECT_EQ(v.Member("name").AsString(), "read");
  const TJSONValue& args = v.Member("args");
  ASSERT_TRUE(args.IsArray());
  ASSERT_EQ(args.Count(), 6u);
  EXPECT_EQ(args.Element(0).AsInteger(), 1);
  EXPECT_DOUBLE_EQ(args.Element(1).AsNumber(), -2.5);
  EXPECT_TRUE(args.Element(2).AsBoolean());
  EXPECT_TRUE(args.Element(3).IsNull());
  EXPECT_EQ(args.Element(4).AsString(), "x\xC3\xA9\xF0\x9F\x98\x80");
  EXPECT_TRUE(args.Element(5).Member("k").IsArray());
  EXPECT_TRUE(args.Element(6).IsNull());                   // out of range
  EXPECT_EQ(v.Member("n").AsInteger(), 9007199254740993);  // kept exact, not via double
  EXPECT_TRUE(v.Member("missing").IsNull());
  // A repeated name is one member holding the last value.
  const TJSONValue twice = TJSONValue::Parse(R"({"a":1,"b":2,"a":3})");
  EXPECT_EQ(twice.Member("a").AsInteger(), 3);
  EXPECT_EQ(twice.ToJSON(), R"({"a":3,"b":2})");
  EXPECT_TRUE(v.Member("Name").IsNull());  // names compare exactly
  EXPECT_TRUE(args.Member("name").IsNull());
}

TEST(JsonValueTest, TextThatIsNotJsonParsesToNull) {
  for (const char* text :
       {"", "   ", "{", "[1,", "{\"a\" 1}", "{\"a\":1,}", "[1 2]", "tru", "\"open", "\"bad\\q\"",
        "\"ctl\x01\"", "1 2", "{} x", "-", "1.", "1e", "{a:1}", "'x'"}) {
    EXPECT_TRUE(TJSONValue::Parse(text).IsNull()) << text;
  }
  // Nesting too deep for the parser is "not JSON" rather than a stack overflow.
  EXPECT_TRUE(TJSONValue::Parse(std::string(100000, '[')).IsNull());
  EXPECT_TRUE(TJSONValue::Parse(std::string(100, '[') + std::string(100, ']')).IsArray());
}

TEST(JsonValueTest, CompactWriterSortsMembersByUtf16Units) {
  TJSONValue v = TJSONValue::Object();
  v.Set("b", TJSONValue::Integer(2));
  v.Set("a", TJSONValue::Array());
  v.Set("B", TJSONValue::Object());
  // U+FF5E sorts after U+1F600 in UTF-8 byte order but before it in UTF-16 units.
  v.Set("\xF0\x9F\x98\x80", TJSONValue::Boolean(false));
  v.Set("\xEF\xBD\x9E", TJSONValue());
  v.Set("b", TJSONValue::Integer(3));  // replaces, keeps one member
  EXPECT_EQ(v.ToJSON(), R"({"B":{},"a":[],"b":3,"\ud83d\ude00":false,"\uff5e":null})");
  EXPECT_EQ(TJSONValue::Parse(R"({ "z" : [ 1 , 2 ] , "y" : { } })").ToJSON(),
            R"({"y":{},"z":[1,2]})");
}

TEST(JsonValueTest, WriterForms) {
  struct Case {
    TJSONValue value;
    const char* full;
    const char* stringForm;
  };
  const std::string controls = std::string("\b\t\n\f\r\"\\/", 8) + std::string(1, '\0') + "\x1F";
  const Case cases[] = {
      {TJSONValue(), "null", "null"},
      {TJSONValue::Boolean(true), "true", "true"},
      {TJSONValue::Integer(-42), "-42", "-42"},
      {TJSONValue::Number(0.5), "0.5", "0.5"},
      {TJSONValue::Number(1e300 * 1e300), "null", "null"},
      {TJSONValue::String("a/b"), R"("a\/b")", "a/b"},
      {TJSONValue::String(controls), R"("\b\t\n\f\r\"\\\/\u0000\u001f")", controls.c_str()},
      {TJSONValue::Array().Add(TJSONValue::String(controls)), R"(["\b\t\n\f\r\"\\\/\u0000\u001f"])",
       "[\"\b\t\n\f\r\\\"\\\\\\/\\u0000\x1F\"]"},
      {TJSONValue::Array().Add(TJSONValue::String("\xC3\xA9\x7F\xF0\x9F\x98\x80")),
       "[\"\\u00e9\x7F\\ud83d\\ude00\"]", "[\"\xC3\xA9\x7F\xF0\x9F\x98\x80\"]"},
      {TJSONValue::Object().Set("m", TJSONValue::String("x\"y")), R"({"m":"x\"y"})",
       R"({"m":"x\"y"})"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.value.ToJSON(), c.full);
    // The string form of a string with a U+0000 is that raw text, so compare whole strings.
    const std::string expected = c.value.IsString() ? c.value.AsString() : c.stringForm;
    EXPECT_EQ(c.value.AsStringForm(), expected) << c.full;
  }
  // Malformed UTF-8 is written as U+FFFD rather than passed on as broken bytes.
  EXPECT_EQ(TJSONValue::String("a\xFF").ToJSON(), R"("a\ufffd")");
}

TEST(JsonValueTest, WrittenTextParsesBackToTheSameText) {
  const char* texts[] = {
      R"({"Error":{"Message":"a\"b\\c\/d\n\u00e9","Type":"ESocketIOException"}})",
      R"([[],{},[{"a":[null,false,1.25]}],"\ud83d\ude00"])"};
  for (const char* text : texts) EXPECT_EQ(TJSONValue::Parse(text).ToJSON(), text);
}

}  // namespace
}  // namespace json
