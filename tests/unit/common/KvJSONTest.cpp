// The JSON value tree: its text form byte for byte, and the parser's acceptance and refusals.
#include "KvJSON.h"

#include "JsonMutations.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace dravik {
namespace {

using V = TJsonValue;

V ObjectOf(std::initializer_list<std::pair<const char*, V>> members) {
  V object = V::Object();
  for (const auto& [name, value] : members) object.AddMember(name, value);
  return object;
}

V ArrayOf(std::initializer_list<V> items) {
  V array = V::Array();
  for (const V& item : items) array.Append(item);
  return array;
}

// The message of the EJSONParserError that parsing `text` throws; "" when it parses.
std::string ParseError(std::string_view text,
                       TJsonTrailingText trailing = TJsonTrailingText::Ignore) {
  try {
    (void)ParseJSON(text, trailing);
  } catch (const EJSONParserError& e) {
    return e.Message();
  }
  return {};
}

TEST(TJsonValue, WritesTheSystemsTextForm) {
  const struct {
    const char* what;
    V value;
    std::string text;
  } cases[] = {
      {"empty object", V::Object(), "{}"},
      {"empty array", V::Array(), "[]"},
      {"scalars", ArrayOf({V::Null(), V::Boolean(true), V::Boolean(false), V::Integer(-12)}),
       "[null, true, false, -12]"},
      {"members", ObjectOf({{"a", V::Integer(1)}, {"b", ArrayOf({V::Integer(1), V::Integer(2)})}}),
       R"({ "a" : 1, "b" : [1, 2] })"},
      {"nesting",
       ObjectOf({{"o", ObjectOf({{"x", V::Null()}})},
                 {"e", V::Object()},
                 {"l", ArrayOf({V::Array(), ObjectOf({{"", V::String("")}})})}}),
       R"({ "o" : { "x" : null }, "e" : {}, "l" : [[], { "" : "" }] })"},
      {"numbers",
       ArrayOf({V::Integer(INT64_MIN), V::Unsigned(UINT64_MAX), V::Float(1.5), V::Float(0.1),
                V::Float(-0.25)}),
       "[-9223372036854775808, 18446744073709551615, 1.5, 0.1, -0.25]"},
      {"escapes", V::String("\"\\/\b\t\n\f\r\x01\x1f\x7f\xc3\xa9\xff"),
       "\"\\\"\\\\/\\b\\t\\n\\f\\r\\u0001\\u001F\x7f\xc3\xa9\xff\""},
      {"NUL and upper-case hex", V::String(std::string("\0\x1b\x0b", 3)),
       "\"\\u0000\\u001B\\u000B\""},
      {"member names escaped", ObjectOf({{"a\"b\n", V::Integer(0)}}), R"({ "a\"b\n" : 0 })"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.value.AsJSONString(), c.text) << c.what;
}

TEST(ParseJSON, ReadsValuesIntoTheTreeInOrder) {
  const struct {
    const char* text;
    std::string written;
  } cases[] = {
      {R"( { "b" : [1, -2, 3.25e1], "a": {"x": null, "y": true}, "B": false } )",
       R"({ "b" : [1, -2, 32.5], "a" : { "x" : null, "y" : true }, "B" : false })"},
      {R"(["\u00e9\ud83d\ude00", "\/\"\\\b\f\n\r\t\u001f"])",
       "[\"\xc3\xa9\xf0\x9f\x98\x80\", \"/\\\"\\\\\\b\\f\\n\\r\\t\\u001F\"]"},
      {"\"\xd0\x9a\xd0\xa1\x31\"", "\"\xd0\x9a\xd0\xa1\x31\""},
      {"\xef\xbb\xbf{}", "{}"},
      {"-0", "0"},
      {"1E2", "100"},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseJSON(c.text).AsJSONString(), c.written) << c.text;
}

TEST(ParseJSON, NumbersAtTheInt64EdgesStayIntegers) {
  const struct {
    const char* text;
    bool integer;
    std::string written;
  } cases[] = {
      {"-9223372036854775808", true, "-9223372036854775808"},
      {"9223372036854775807", true, "9223372036854775807"},
      {"18446744073709551615", true, "18446744073709551615"},
      {"18446744073709551617", false, "18446744073709551616"},
      {"-9223372036854775809", false, "-9223372036854775808"},
      {"1e300", false, "1e+300"},
      {"0.5", false, "0.5"},
  };
  for (const auto& c : cases) {
    const V value = ParseJSON(c.text);
    EXPECT_TRUE(value.IsNumber()) << c.text;
    EXPECT_EQ(value.IsInteger(), c.integer) << c.text;
    EXPECT_EQ(value.AsJSONString(), c.written) << c.text;
    EXPECT_EQ(value.AsText(), c.written) << c.text;
  }
}

TEST(ParseJSON, ReadsOnlyTheFirstCompleteValue) {
  const struct {
    const char* text;
    std::string written;
  } cases[] = {
      {"{} trailing", "{}"}, {"[1] [2]", "[1]"}, {"{\"a\":1}}}", R"({ "a" : 1 })"},
      {"{}\xff\xfe", "{}"},  {"12abc", "12"},    {"true,", "true"},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseJSON(c.text).AsJSONString(), c.written) << c.text;
}

TEST(ParseJSON, RefusesTextAfterTheValueWhenAsked) {
  EXPECT_EQ(ParseError("{} x", TJsonTrailingText::Refuse),
            "Text after the JSON value at position 4");
  EXPECT_EQ(ParseError("[1]{}", TJsonTrailingText::Refuse),
            "Text after the JSON value at position 4");
  EXPECT_EQ(ParseError("{}\xff", TJsonTrailingText::Refuse),
            "Text after the JSON value at position 3");
  EXPECT_EQ(ParseError(" {} \r\n\t ", TJsonTrailingText::Refuse), "");
  EXPECT_EQ(ParseError("{", TJsonTrailingText::Refuse), "Unexpected EOF encountered.");
}

TEST(ParseJSON, RefusesMalformedText) {
  const struct {
    const char* what;
    std::string text;
    std::string message;
  } cases[] = {
      {"empty", "", "Unexpected EOF encountered."},
      {"blank", " \r\n\t ", "Unexpected EOF encountered."},
      {"open object", "{", "Unexpected EOF encountered."},
      {"open member", R"({"a":)", "Unexpected EOF encountered."},
      {"open array", "[1,", "Unexpected EOF encountered."},
      {"open string", "\"abc", "Unexpected EOF encountered."},
      {"cut literal", "tru", "Unexpected EOF encountered."},
      {"duplicate", R"({"a":1,"b":2,"a":3})", R"(Duplicate object member: "a")"},
      {"nested duplicate", R"([{"x":{"k":1,"k":{}}}])", R"(Duplicate object member: "k")"},
      {"empty-name duplicate", R"({"":1,"":2})", R"(Duplicate object member: "")"},
      {"bad byte", "\"\xff\"", "Invalid JSON at position 2: invalid string: ill-formed UTF-8 byte"},
      {"overlong", "[\"\xc0\xaf\"]",
       "Invalid JSON at position 3: invalid string: ill-formed UTF-8 byte"},
      {"encoded surrogate", "\"\xed\xa0\x80\"",
       "Invalid JSON at position 3: invalid string: ill-formed UTF-8 byte"},
      {"cut sequence", "[\"\xc3\"]",
       "Invalid JSON at position 4: invalid string: ill-formed UTF-8 byte"},
      {"lone surrogate", R"(["\ud800"])",
       "Invalid JSON at position 9: invalid string: surrogate U+D800..U+DBFF must be followed by "
       "U+DC00..U+DFFF"},
      {"raw control byte", "\"a\tb\"",
       "Invalid JSON at position 3: invalid string: control character U+0009 (HT) must be "
       "escaped to \\u0009 or \\t"},
      {"unquoted name", "{a:1}", "Invalid JSON at position 2: invalid literal"},
      {"single quotes", "{'a':1}", "Invalid JSON at position 2: invalid literal"},
      {"missing comma", "[1 2]",
       "Invalid JSON at position 4: unexpected number literal; expected ']'"},
      {"trailing comma", "[1,]",
       "Invalid JSON at position 4: unexpected ']'; expected '[', '{', or a literal"},
      {"comment", "/**/{}", "Invalid JSON at position 1: invalid literal"},
      {"infinite number", "[1e999]", "Invalid JSON at position 6: number out of range"},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseError(c.text), c.message) << c.what;
}

TEST(ParseJSON, NestingIsLimitedTo512Levels) {
  const auto arrays = [](std::size_t depth) {
    return std::string(depth, '[') + std::string(depth, ']');
  };
  // 256 objects, each holding an array: 512 levels.
  std::string objects;
  for (int i = 0; i < 256; ++i) objects += "{\"a\":[";
  for (int i = 0; i < 256; ++i) objects += "]}";
  const std::string refused = "JSON nesting deeper than 512 levels";

  EXPECT_EQ(ParseError(arrays(512)), "");
  EXPECT_EQ(ParseError(arrays(513)), refused);
  EXPECT_EQ(ParseError("{\"a\":" + arrays(512) + "}"), refused);
  EXPECT_EQ(ParseError(objects), "");
  EXPECT_EQ(ParseError("[" + objects + "]"), refused);
  // A far deeper input is refused at the limit, never read to its end.
  EXPECT_EQ(ParseError(std::string(4'000'000, '[')), refused);

  V deepest = ParseJSON(arrays(512));
  int depth = 1;
  for (const V* v = &deepest; !v->Items().empty(); v = &v->Items().front()) ++depth;
  EXPECT_EQ(depth, 512);
}

// The quick reader must never take a text the full reader refuses, nor read it differently:
// seeds of every shape, and thousands of byte-level mutations of them, go through both.
TEST(ParseJSON, TheQuickReaderAgreesWithTheFullOne) {
  using json_internal::FullParseJSON;
  using json_internal::QuickParseJSON;
  const std::string base64(3000, 'Q');
  const std::vector<std::string> seeds = {
      R"({ "ID" : "", "Plugin" : "ZRT", "Method" : "GetProperty", "Params" : [{ "LastErrorCode" : "" }] })",
      R"({"ID":"7f3a","Plugin":"ZRT","Method":"ExportCryptoObject","Result":")" + base64 + R"("})",
      R"({"a":[1,-2,0,-0,123456789012345678,true,false,null,{},[]],"b":{"c":"d\"e\\f\/g\b\f\n\r\t"}})",
      "{\"k\xc3\xa9y\":\"\xd0\x9f\xd1\x80\xd0\xb8 \xe2\x82\xac \xf0\x9f\x94\x91 \x7f\"}",
      R"([ 1 , [ 2 , [ 3 ] ] , { "x" : { "y" : [ ] } } ] trailing)",
      R"({"n":1.5,"e":1e3,"big":1234567890123456789,"u":"\u00e9\ud83d\udd11"})",
      R"({"a":1,"a":2})",
      " \r\n\t{\"spaced\" : \"out\" } \r\n",
  };
  std::size_t quickTook = 0;
  const auto check = [&](const std::string& text) {
    for (const TJsonTrailingText trailing :
         {TJsonTrailingText::Ignore, TJsonTrailingText::Refuse}) {
      const std::optional<V> quick = QuickParseJSON(text, trailing);
      if (!quick) continue;
      ++quickTook;
      try {
        EXPECT_EQ(*quick, FullParseJSON(text, trailing)) << text;
      } catch (const EJSONParserError& e) {
        ADD_FAILURE() << "the quick reader took what the full one refuses (" << e.Message()
                      << "): " << text;
      }
    }
  };
  dravik::testing::ForEachJsonMutation(seeds, 1500, check);
  // The shapes of the system's own messages are the quick reader's to take.
  EXPECT_TRUE(QuickParseJSON(seeds[0], TJsonTrailingText::Refuse));
  EXPECT_TRUE(QuickParseJSON(seeds[1], TJsonTrailingText::Refuse));
  EXPECT_TRUE(QuickParseJSON(seeds[3], TJsonTrailingText::Refuse));
  EXPECT_GT(quickTook, 1000U);
}

TEST(TJsonValue, AccessorsOfAnotherTypeThrowConvertError) {
  const V text = V::String("x");
  V number = V::Integer(1);
  EXPECT_THROW((void)text.Items(), EJSONConvertError);
  EXPECT_THROW((void)number.Members(), EJSONConvertError);
  EXPECT_THROW(number.Append(V::Null()), EJSONConvertError);
  EXPECT_THROW((void)text.BooleanValue(), EJSONConvertError);
  EXPECT_THROW((void)number.StringValue(), EJSONConvertError);
  EXPECT_THROW((void)V::Float(std::numeric_limits<double>::infinity()), EJSONConvertError);
  try {
    (void)text.Members();
  } catch (const EJSONConvertError& e) {
    EXPECT_EQ(e.Message(), R"(JSON value of type "jtString" is not an object)");
  }
  EXPECT_EQ(number.Find("a"), nullptr);
}

TEST(TJsonValue, FindMatchesMemberNamesWithCase) {
  const V object = ParseJSON(R"({"Name": 1, "name": 2})");

  ASSERT_NE(object.Find("name"), nullptr);
  EXPECT_EQ(object.Find("name")->AsText(), "2");
  EXPECT_EQ(object.Find("Name")->AsText(), "1");
  EXPECT_EQ(object.Find("NAME"), nullptr);
}

}  // namespace
}  // namespace dravik
