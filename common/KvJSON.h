// JSON values: an ordered value tree, its text in the system's own form and the one reader
// of JSON text. Every JSON message of the system is read and written through this module.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "KvObject.h"

namespace dravik {

// Appends Text as a JSON string in double quotes: '"' and '\' escaped with a backslash,
// backspace, tab, line feed, form feed and carriage return as \b \t \n \f \r, every other
// byte below 32 as \u00XX (upper-case hexadecimal); '/' and bytes from 0x80 up unchanged.
void AppendJsonString(std::string& out, std::string_view text);
std::string JsonQuoteString(std::string_view text);

// A JSON text that cannot be read: bad syntax, invalid UTF-8, a duplicate member name in
// one object, nesting deeper than kJsonMaxDepth, or no value at all.
DRAVIK_EXCEPTION(EJSONParserError, Exception);
// A JSON value that cannot be taken as the asked type ("Cannot convert data from Null value").
DRAVIK_EXCEPTION(EJSONConvertError, EConvertError);

// The deepest nesting of arrays and objects that ParseJSON accepts; the outermost array or
// object is level 1.
inline constexpr int kJsonMaxDepth = 512;

enum class TJsonType { jtUnknown, jtNumber, jtString, jtBoolean, jtNull, jtArray, jtObject };

// The type's name as messages show it: "jtNumber", "jtObject", ...
std::string_view JsonTypeName(TJsonType type) noexcept;

struct TJsonMember;

// One JSON value. Objects keep their members in order; names are not checked for
// duplicates here (the reader refuses them, the writer never makes them).
class TJsonValue {
 public:
  using TArray = std::vector<TJsonValue>;
  using TObject = std::vector<TJsonMember>;

  // Null.
  TJsonValue() noexcept = default;

  static TJsonValue Null() { return TJsonValue(); }
  static TJsonValue Boolean(bool value);
  static TJsonValue Integer(std::int64_t value);
  static TJsonValue Unsigned(std::uint64_t value);
  // A number with a fraction or an exponent; must be finite.
  static TJsonValue Float(double value);
  static TJsonValue String(std::string value);
  static TJsonValue Array();
  static TJsonValue Object();

  TJsonType Type() const noexcept;
  bool IsNull() const noexcept { return Type() == TJsonType::jtNull; }
  bool IsNumber() const noexcept { return Type() == TJsonType::jtNumber; }
  bool IsString() const noexcept { return Type() == TJsonType::jtString; }
  bool IsBoolean() const noexcept { return Type() == TJsonType::jtBoolean; }
  bool IsArray() const noexcept { return Type() == TJsonType::jtArray; }
  bool IsObject() const noexcept { return Type() == TJsonType::jtObject; }
  // A number written without fraction and exponent.
  bool IsInteger() const noexcept;

  // The value of the type; any other type throws EJSONConvertError.
  bool BooleanValue() const;
  const std::string& StringValue() const;
  std::string& StringValue();
  const TArray& Items() const;
  TArray& Items();
  const TObject& Members() const;
  TObject& Members();

  // Conversions of the object mapping, each throwing EJSONConvertError for what it refuses.
  // Text: a string unchanged, an integer in decimal, any other number as its shortest
  // round-trip decimal text, a Boolean as "true" or "false"; null, arrays and objects refused.
  std::string AsText() const;
  // 32-bit integer: a number (a fraction rounded half to even), a string holding a decimal
  // integer, true as 1 and false as 0; out of range, null, arrays and objects refused.
  std::int32_t AsInt32() const;

  // Appends to an array or an object; any other type throws EJSONConvertError.
  void Append(TJsonValue item);
  void AddMember(std::string name, TJsonValue value);
  // The first member named exactly `name`; null when there is none or this is no object.
  const TJsonValue* Find(std::string_view name) const noexcept;
  TJsonValue* Find(std::string_view name) noexcept;

  // The system's text form: "{ "a" : 1, "b" : [1, 2] }", "{}", "[]", strings through
  // AppendJsonString, numbers in decimal, true, false, null.
  std::string AsJSONString() const;

  // Same type and value; members compared in order, names with case.
  bool operator==(const TJsonValue& other) const;

 private:
  using TStorage = std::variant<std::monostate, bool, std::int64_t, std::uint64_t, double,
                                std::string, TArray, TObject>;

  friend struct TJsonValueAccess;  // the reader's way to build values in place

  explicit TJsonValue(TStorage value) noexcept : value_(std::move(value)) {}
  [[noreturn]] void Refuse(std::string_view what) const;

  TStorage value_;
};

struct TJsonMember {
  std::string name;
  TJsonValue value;

  bool operator==(const TJsonMember& other) const = default;
};

// Whether ParseJSON accepts more than white space after the first complete value.
enum class TJsonTrailingText { Ignore, Refuse };

// Reads the first complete JSON value of `text` (UTF-8); by default what follows it is
// not examined. Throws EJSONParserError, "Unexpected EOF encountered." for a text that
// ends before a value is complete (also an empty or blank text).
TJsonValue ParseJSON(std::string_view text, TJsonTrailingText trailing = TJsonTrailingText::Ignore);

// The two readers behind ParseJSON, open to the tests that hold them to one result. The quick
// one takes the usual shapes of messages and answers nullopt for anything it leaves to the
// full one, which reads every text and words every refusal.
namespace json_internal {
std::optional<TJsonValue> QuickParseJSON(std::string_view text, TJsonTrailingText trailing);
TJsonValue FullParseJSON(std::string_view text, TJsonTrailingText trailing);

// The quick readers' cursor over a text: white space, punctuation and strings without \u
// escapes. Each step answers false for what it does not take, and the reader then leaves the
// whole text to the full one; so a quick reader built on it accepts only what ParseJSON
// accepts, with the same values.
class TQuickCursor {
 public:
  explicit TQuickCursor(std::string_view text) noexcept
      : at_(text.data()), end_(text.data() + text.size()) {}

  void SkipSpace() noexcept {
    while (at_ != end_ && (*at_ == ' ' || *at_ == '\n' || *at_ == '\r' || *at_ == '\t')) ++at_;
  }
  // Past white space: takes `c` when it comes next.
  bool Next(char c) noexcept {
    SkipSpace();
    if (at_ == end_ || *at_ != c) return false;
    ++at_;
    return true;
  }
  // Past white space: whether `c` comes next, without taking it.
  bool Peek(char c) noexcept {
    SkipSpace();
    return at_ != end_ && *at_ == c;
  }
  // Past white space: whether the text has ended.
  bool AtEnd() noexcept {
    SkipSpace();
    return at_ == end_;
  }
  // Past white space: the string that comes next, into `out`.
  bool String(std::string& out) { return Peek('"') && ReadString(out); }

 protected:
  // The string at the cursor, its opening quote first.
  bool ReadString(std::string& out);

  const char* at_;
  const char* end_;
};
}  // namespace json_internal

}  // namespace dravik
