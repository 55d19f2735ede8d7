#include "KvJSON.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>
#include <unordered_set>
#include <utility>

#include "KvText.h"

namespace dravik {

namespace {

// Texts are looked at sixteen bytes at a time, through the compiler's vector extension (SSE2
// on x86-64): signatures and certificates make long Base64 runs.
using TByteBlock = unsigned char __attribute__((vector_size(16)));
constexpr std::size_t kBlock = sizeof(TByteBlock);

TByteBlock LoadBlock(const char* at) noexcept {
  TByteBlock block;
  std::memcpy(&block, at, sizeof block);
  return block;
}

// 0xFF in each byte of the block that JSON text must escape: '"', '\' and below 0x20.
TByteBlock EscapeBytes(TByteBlock block) noexcept {
  return reinterpret_cast<TByteBlock>((block == '"') | (block == '\\') | (block < 0x20));
}

// The offset of the first byte marked 0xFF in `hits`, kBlock when none is.
std::size_t FirstHit(TByteBlock hits) noexcept {
  std::uint64_t halves[2];
  std::memcpy(halves, &hits, sizeof halves);
  if ((halves[0] | halves[1]) == 0) return kBlock;  // the usual case, at once
  for (std::size_t half = 0; half < 2; ++half) {
    if (halves[half] == 0) continue;
    const int bit = std::endian::native == std::endian::little ? std::countr_zero(halves[half])
                                                               : std::countl_zero(halves[half]);
    return half * 8 + static_cast<std::size_t>(bit) / 8;
  }
  return kBlock;
}

bool IsEscaped(char c) noexcept {
  return c == '"' || c == '\\' || static_cast<unsigned char>(c) < 0x20;
}

// Calls `found` with the index of every byte of `text` that needs an escape, in order.
template <class F>
void ForEachEscape(std::string_view text, F&& found) {
  std::size_t i = 0;
  for (; text.size() - i >= kBlock; i += kBlock) {
    TByteBlock hits = EscapeBytes(LoadBlock(text.data() + i));
    for (std::size_t hit = FirstHit(hits); hit < kBlock; hit = FirstHit(hits)) {
      found(i + hit);
      hits[hit] = 0;
    }
  }
  for (; i < text.size(); ++i)
    if (IsEscaped(text[i])) found(i);
}

// The bytes written as a backslash and a letter, with their letters.
constexpr std::pair<char, char> kTwoByteEscapes[] = {
    {'"', '"'}, {'\\', '\\'}, {'\b', 'b'}, {'\t', 't'}, {'\n', 'n'}, {'\f', 'f'}, {'\r', 'r'}};

// The letter of a two-byte escape, 0 for the bytes written as \u00XX.
char EscapeLetter(char c) noexcept {
  for (const auto& [byte, letter] : kTwoByteEscapes)
    if (byte == c) return letter;
  return 0;
}

}  // namespace

void AppendJsonString(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  // Names and short values mostly need no escape: they go in whole.
  if (text.size() < kBlock && std::none_of(text.begin(), text.end(), IsEscaped)) {
    out.reserve(out.size() + text.size() + 2);
    out += '"';
    out.append(text);
    out += '"';
    return;
  }
  // The length first, then the text written in place: runs without escapes go in whole.
  std::size_t extra = 0;
  ForEachEscape(text, [&](std::size_t i) { extra += EscapeLetter(text[i]) != 0 ? 1 : 5; });
  const std::size_t start = out.size();
  out.resize(start + text.size() + extra + 2);
  char* at = out.data() + start;
  *at++ = '"';
  std::size_t run = 0;
  const auto copy = [&](std::size_t end) {
    std::memcpy(at, text.data() + run, end - run);
    at += end - run;
  };
  ForEachEscape(text, [&](std::size_t i) {
    copy(i);
    run = i + 1;
    const char c = text[i];
    *at++ = '\\';
    if (const char letter = EscapeLetter(c)) {
      *at++ = letter;
    } else {
      *at++ = 'u';
      *at++ = '0';
      *at++ = '0';
      *at++ = kHex[(c >> 4) & 0x0F];
      *at++ = kHex[c & 0x0F];
    }
  });
  copy(text.size());
  *at = '"';
}

std::string JsonQuoteString(std::string_view text) {
  std::string out;
  AppendJsonString(out, text);
  return out;
}

std::string_view JsonTypeName(TJsonType type) noexcept {
  switch (type) {
    case TJsonType::jtNumber:
      return "jtNumber";
    case TJsonType::jtString:
      return "jtString";
    case TJsonType::jtBoolean:
      return "jtBoolean";
    case TJsonType::jtNull:
      return "jtNull";
    case TJsonType::jtArray:
      return "jtArray";
    case TJsonType::jtObject:
      return "jtObject";
    case TJsonType::jtUnknown:
      break;
  }
  return "jtUnknown";
}

namespace {

// The word a conversion error names a value's type with ("Cannot convert data from Null value").
std::string_view TypeWord(TJsonType type) noexcept {
  switch (type) {
    case TJsonType::jtNumber:
      return "Number";
    case TJsonType::jtString:
      return "String";
    case TJsonType::jtBoolean:
      return "Boolean";
    case TJsonType::jtNull:
      return "Null";
    case TJsonType::jtArray:
      return "Array";
    case TJsonType::jtObject:
      return "Object";
    case TJsonType::jtUnknown:
      break;
  }
  return "Unknown";
}

// The shortest decimal text that reads back as the same double.
std::string FloatText(double value) {
  std::array<char, 64> buffer{};
  const auto [end, ec] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
  if (ec != std::errc()) return "0";
  return std::string(buffer.data(), end);
}

// Nearest integer, a tie going to the even neighbour (2.5 -> 2, 3.5 -> 4, -2.5 -> -2).
double RoundHalfEven(double value) {
  if (std::fabs(value - std::trunc(value)) == 0.5) return 2.0 * std::round(value / 2.0);
  return std::round(value);
}

[[noreturn]] void ThrowOutOfInt32(const std::string& text) {
  throw EJSONConvertError("\"" + text + "\" is out of the range of a 32-bit integer");
}

}  // namespace

TJsonValue TJsonValue::Boolean(bool value) { return TJsonValue(TStorage(value)); }

TJsonValue TJsonValue::Integer(std::int64_t value) { return TJsonValue(TStorage(value)); }

TJsonValue TJsonValue::Unsigned(std::uint64_t value) {
  // One form per number: whatever fits a signed integer is kept as one.
  if (value <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
    return Integer(static_cast<std::int64_t>(value));
  }
  return TJsonValue(TStorage(value));
}

TJsonValue TJsonValue::Float(double value) {
  if (!std::isfinite(value)) throw EJSONConvertError("A JSON number must be finite");
  return TJsonValue(TStorage(value));
}

TJsonValue TJsonValue::String(std::string value) { return TJsonValue(TStorage(std::move(value))); }

TJsonValue TJsonValue::Array() { return TJsonValue(TStorage(TArray())); }

TJsonValue TJsonValue::Object() { return TJsonValue(TStorage(TObject())); }

TJsonType TJsonValue::Type() const noexcept {
  switch (value_.index()) {
    case 0:
      return TJsonType::jtNull;
    case 1:
      return TJsonType::jtBoolean;
    case 2:
    case 3:
    case 4:
      return TJsonType::jtNumber;
    case 5:
      return TJsonType::jtString;
    case 6:
      return TJsonType::jtArray;
    case 7:
      return TJsonType::jtObject;
    default:
      return TJsonType::jtUnknown;
  }
}

bool TJsonValue::IsInteger() const noexcept {
  return std::holds_alternative<std::int64_t>(value_) ||
         std::holds_alternative<std::uint64_t>(value_);
}

void TJsonValue::Refuse(std::string_view what) const {
  throw EJSONConvertError("JSON value of type \"" + std::string(JsonTypeName(Type())) +
                          "\" is not " + std::string(what));
}

bool TJsonValue::BooleanValue() const {
  if (const bool* value = std::get_if<bool>(&value_)) return *value;
  Refuse("a Boolean");
}

const std::string& TJsonValue::StringValue() const {
  if (const std::string* value = std::get_if<std::string>(&value_)) return *value;
  Refuse("a string");
}

std::string& TJsonValue::StringValue() {
  if (std::string* value = std::get_if<std::string>(&value_)) return *value;
  Refuse("a string");
}

const TJsonValue::TArray& TJsonValue::Items() const {
  if (const TArray* value = std::get_if<TArray>(&value_)) return *value;
  Refuse("an array");
}

TJsonValue::TArray& TJsonValue::Items() {
  if (TArray* value = std::get_if<TArray>(&value_)) return *value;
  Refuse("an array");
}

const TJsonValue::TObject& TJsonValue::Members() const {
  if (const TObject* value = std::get_if<TObject>(&value_)) return *value;
  Refuse("an object");
}

TJsonValue::TObject& TJsonValue::Members() {
  if (TObject* value = std::get_if<TObject>(&value_)) return *value;
  Refuse("an object");
}

std::string TJsonValue::AsText() const {
  // Strings first, without the optional: messages are read through here, member by member.
  if (const std::string* text = std::get_if<std::string>(&value_)) return *text;
  struct Visitor {
    std::optional<std::string> operator()(std::monostate) const { return std::nullopt; }
    std::optional<std::string> operator()(bool v) const { return v ? "true" : "false"; }
    std::optional<std::string> operator()(std::int64_t v) const { return std::to_string(v); }
    std::optional<std::string> operator()(std::uint64_t v) const { return std::to_string(v); }
    std::optional<std::string> operator()(double v) const { return FloatText(v); }
    std::optional<std::string> operator()(const std::string& v) const { return v; }
    std::optional<std::string> operator()(const TArray&) const { return std::nullopt; }
    std::optional<std::string> operator()(const TObject&) const { return std::nullopt; }
  };
  if (std::optional<std::string> text = std::visit(Visitor{}, value_)) return std::move(*text);
  throw EJSONConvertError("Cannot convert data from " + std::string(TypeWord(Type())) + " value");
}

std::int32_t TJsonValue::AsInt32() const {
  constexpr std::int64_t kMin = std::numeric_limits<std::int32_t>::min();
  constexpr std::int64_t kMax = std::numeric_limits<std::int32_t>::max();
  if (const auto* v = std::get_if<std::int64_t>(&value_)) {
    if (*v < kMin || *v > kMax) ThrowOutOfInt32(std::to_string(*v));
    return static_cast<std::int32_t>(*v);
  }
  if (const auto* v = std::get_if<std::uint64_t>(&value_)) ThrowOutOfInt32(std::to_string(*v));
  if (const auto* v = std::get_if<double>(&value_)) {
    const double rounded = RoundHalfEven(*v);
    if (rounded < static_cast<double>(kMin) || rounded > static_cast<double>(kMax)) {
      ThrowOutOfInt32(FloatText(*v));
    }
    return static_cast<std::int32_t>(rounded);
  }
  if (const auto* v = std::get_if<bool>(&value_)) return *v ? 1 : 0;
  if (const auto* v = std::get_if<std::string>(&value_)) {
    std::int32_t result = 0;
    if (!TryParseInt(*v, result)) throw EJSONConvertError("\"" + *v + "\" is an invalid integer");
    return result;
  }
  throw EJSONConvertError("Cannot convert data from " + std::string(TypeWord(Type())) + " value");
}

void TJsonValue::Append(TJsonValue item) { Items().push_back(std::move(item)); }

void TJsonValue::AddMember(std::string name, TJsonValue value) {
  Members().push_back(TJsonMember{std::move(name), std::move(value)});
}

const TJsonValue* TJsonValue::Find(std::string_view name) const noexcept {
  const TObject* members = std::get_if<TObject>(&value_);
  if (!members) return nullptr;
  for (const TJsonMember& member : *members) {
    if (member.name == name) return &member.value;
  }
  return nullptr;
}

TJsonValue* TJsonValue::Find(std::string_view name) noexcept {
  return const_cast<TJsonValue*>(std::as_const(*this).Find(name));
}

std::string TJsonValue::AsJSONString() const {
  // An explicit stack of open arrays and objects rather than recursion.
  struct TFrame {
    const TJsonValue* container;
    std::size_t next;
  };
  std::vector<TFrame> stack;
  std::string out;
  out.reserve(256);  // most messages fit; longer ones grow from there
  const TJsonValue* current = this;
  for (;;) {
    if (current) {
      const TStorage& v = current->value_;
      if (const auto* items = std::get_if<TArray>(&v)) {
        if (items->empty()) {
          out += "[]";
        } else {
          out += '[';
          stack.push_back({current, 0});
        }
      } else if (const auto* members = std::get_if<TObject>(&v)) {
        if (members->empty()) {
          out += "{}";
        } else {
          out += "{ ";
          stack.push_back({current, 0});
        }
      } else if (const auto* s = std::get_if<std::string>(&v)) {
        AppendJsonString(out, *s);
      } else if (const auto* b = std::get_if<bool>(&v)) {
        out += *b ? "true" : "false";
      } else if (std::holds_alternative<std::monostate>(v)) {
        out += "null";
      } else {
        out += current->AsText();
      }
      current = nullptr;
    }
    if (stack.empty()) break;
    TFrame& top = stack.back();
    if (const auto* items = std::get_if<TArray>(&top.container->value_)) {
      if (top.next == items->size()) {
        out += ']';
        stack.pop_back();
        continue;
      }
      if (top.next > 0) out += ", ";
      current = &(*items)[top.next++];
    } else {
      const TObject& members = std::get<TObject>(top.container->value_);
      if (top.next == members.size()) {
        out += " }";
        stack.pop_back();
        continue;
      }
      if (top.next > 0) out += ", ";
      const TJsonMember& member = members[top.next++];
      AppendJsonString(out, member.name);
      out += " : ";
      current = &member.value;
    }
  }
  return out;
}

bool TJsonValue::operator==(const TJsonValue& other) const { return value_ == other.value_; }

namespace {

using TNlohmannJson = nlohmann::json;

// Builds our value tree from the parser's events, keeping its own stack of open arrays and
// objects, so that the depth of the input never becomes depth of the C++ stack.
class TJsonTreeBuilder final : public nlohmann::json_sax<TNlohmannJson> {
 public:
  explicit TJsonTreeBuilder(std::size_t textSize) : textSize_(textSize) {}

  bool null() override { return Put(TJsonValue::Null()); }
  bool boolean(bool value) override { return Put(TJsonValue::Boolean(value)); }
  bool number_integer(number_integer_t value) override { return Put(TJsonValue::Integer(value)); }
  bool number_unsigned(number_unsigned_t value) override {
    return Put(TJsonValue::Unsigned(value));
  }
  bool number_float(number_float_t value, const string_t&) override {
    return Put(TJsonValue::Float(value));
  }
  bool string(string_t& value) override { return Put(TJsonValue::String(std::move(value))); }
  bool binary(binary_t&) override {
    // Only the binary formats produce these; JSON text never does.
    error_ = "Unexpected binary value";
    return false;
  }
  bool start_object(std::size_t) override { return Open(TJsonValue::Object()); }
  bool key(string_t& name) override {
    TFrame& top = stack_.back();
    if (!top.names.insert(name).second) {
      error_ = "Duplicate object member: \"" + name + "\"";
      return false;
    }
    top.key = std::move(name);
    return true;
  }
  bool end_object() override { return Close(); }
  bool start_array(std::size_t) override { return Open(TJsonValue::Array()); }
  bool end_array() override { return Close(); }

  bool parse_error(std::size_t position, const std::string&,
                   const nlohmann::detail::exception& error) override {
    error_ = ErrorMessage(position, error);
    return false;
  }

  const std::string& Error() const { return error_; }
  TJsonValue TakeResult() { return std::move(result_); }

 private:
  struct TFrame {
    TJsonValue value;
    std::string key;  // the name of the member whose value comes next
    std::unordered_set<std::string> names;
  };

  bool Put(TJsonValue value) {
    if (stack_.empty()) {
      result_ = std::move(value);
      complete_ = true;
      return true;
    }
    TFrame& top = stack_.back();
    if (top.value.IsArray()) {
      top.value.Append(std::move(value));
    } else {
      top.value.AddMember(std::move(top.key), std::move(value));
    }
    return true;
  }

  bool Open(TJsonValue container) {
    if (stack_.size() >= static_cast<std::size_t>(kJsonMaxDepth)) {
      error_ = "JSON nesting deeper than " + std::to_string(kJsonMaxDepth) + " levels";
      return false;
    }
    stack_.push_back(TFrame{std::move(container), {}, {}});
    return true;
  }

  bool Close() {
    TJsonValue value = std::move(stack_.back().value);
    stack_.pop_back();
    return Put(std::move(value));
  }

  // Our own wording; the input's bytes are left out, since messages reach the log.
  std::string ErrorMessage(std::size_t position, const nlohmann::detail::exception& error) const {
    if (complete_) return "Text after the JSON value at position " + std::to_string(position);
    // The lexer counts the end of the input as one more character read.
    if (position > textSize_) return "Unexpected EOF encountered.";
    std::string message = "Invalid JSON at position " + std::to_string(position);
    if (error.id == 406) return message + ": number out of range";
    // "... syntax error while parsing <context> - <reason>[; last read: '<input>'][; ...]"
    const std::string_view what = error.what();
    const std::size_t dash = what.find(" - ");
    if (dash == std::string_view::npos) return message;
    std::string_view reason = what.substr(dash + 3);
    reason = reason.substr(0, reason.find("; last read: "));
    return message.append(": ").append(reason);
  }

  std::size_t textSize_;
  std::vector<TFrame> stack_;
  TJsonValue result_;
  bool complete_ = false;
  std::string error_;
};

}  // namespace

// Builds a value's storage in place, without the moves of temporaries.
struct TJsonValueAccess {
  template <class T, class... A>
  static T& Emplace(TJsonValue& value, A&&... args) {
    return value.value_.template emplace<T>(std::forward<A>(args)...);
  }
};

namespace {

// The quick reader: takes the shapes every message of the system has (an object or an array
// at the top, strings without \u escapes, integers of up to 18 digits) at the speed of a copy,
// and gives up on anything else. It never refuses a text itself: whatever it gives up on goes
// to the full reader, which then reads it or reports on it. So it may only ever accept a text
// the full reader accepts, with the same value.
class TQuickJsonReader : json_internal::TQuickCursor {
 public:
  using TQuickCursor::TQuickCursor;

  std::optional<TJsonValue> Read(TJsonTrailingText trailing) {
    SkipSpace();
    if (at_ == end_ || (*at_ != '{' && *at_ != '[')) return std::nullopt;
    TJsonValue value;
    if (!ReadValue(value, 0)) return std::nullopt;
    if (trailing == TJsonTrailingText::Refuse) {
      SkipSpace();
      if (at_ != end_) return std::nullopt;
    }
    return value;
  }

 private:
  // Deeper texts, larger objects and anything unusual go to the full reader.
  static constexpr int kMaxDepth = 64;
  static constexpr std::size_t kMaxMembers = 64;

  bool ReadValue(TJsonValue& out, int depth) {
    SkipSpace();
    if (at_ == end_) return false;
    switch (*at_) {
      case '{':
        return ReadObject(out, depth + 1);
      case '[':
        return ReadArray(out, depth + 1);
      case '"':
        return ReadString(TJsonValueAccess::Emplace<std::string>(out));
      case 't':
        TJsonValueAccess::Emplace<bool>(out, true);
        return ReadLiteral("true");
      case 'f':
        TJsonValueAccess::Emplace<bool>(out, false);
        return ReadLiteral("false");
      case 'n':
        return ReadLiteral("null");
      default:
        return ReadInteger(out);
    }
  }

  bool ReadObject(TJsonValue& out, int depth) {
    if (depth > kMaxDepth) return false;
    ++at_;
    TJsonValue::TObject& members = TJsonValueAccess::Emplace<TJsonValue::TObject>(out);
    if (Next('}')) return true;
    members.reserve(8);
    for (;;) {
      if (!Peek('"') || members.size() >= kMaxMembers) return false;
      TJsonMember& member = members.emplace_back();
      if (!ReadString(member.name)) return false;
      for (std::size_t i = 0; i + 1 < members.size(); ++i)
        if (members[i].name == member.name) return false;  // the full reader names it
      if (!Next(':')) return false;
      if (!ReadValue(member.value, depth)) return false;
      if (Next(',')) continue;
      return Next('}');
    }
  }

  bool ReadArray(TJsonValue& out, int depth) {
    if (depth > kMaxDepth) return false;
    ++at_;
    TJsonValue::TArray& items = TJsonValueAccess::Emplace<TJsonValue::TArray>(out);
    if (Next(']')) return true;
    items.reserve(8);
    for (;;) {
      if (!ReadValue(items.emplace_back(), depth)) return false;
      if (Next(',')) continue;
      return Next(']');
    }
  }

  // The literal itself; its value is already in place.
  bool ReadLiteral(std::string_view word) noexcept {
    if (static_cast<std::size_t>(end_ - at_) < word.size() ||
        std::string_view(at_, word.size()) != word)
      return false;
    at_ += word.size();
    return true;
  }

  // A decimal integer: "-"?, then "0" or a digit 1-9 followed by digits; no fraction, no
  // exponent, at most 18 digits, so that it always fits.
  bool ReadInteger(TJsonValue& out) noexcept {
    const bool negative = *at_ == '-';
    if (negative) ++at_;
    const char* first = at_;
    std::int64_t value = 0;
    for (; at_ != end_ && *at_ >= '0' && *at_ <= '9'; ++at_) {
      if (at_ - first == 18) return false;
      value = value * 10 + (*at_ - '0');
    }
    const std::ptrdiff_t digits = at_ - first;
    if (digits == 0 || (*first == '0' && digits > 1)) return false;
    if (at_ != end_ && (*at_ == '.' || *at_ == 'e' || *at_ == 'E')) return false;
    TJsonValueAccess::Emplace<std::int64_t>(out, negative ? -value : value);
    return true;
  }
};

// The byte a backslash and `letter` stand for ("\/" too, which is never written); 0 for
// \u and unknown letters.
char Unescaped(char letter) noexcept {
  if (letter == '/') return '/';
  for (const auto& [byte, escape] : kTwoByteEscapes)
    if (escape == letter) return byte;
  return 0;
}

}  // namespace

namespace json_internal {

std::optional<TJsonValue> QuickParseJSON(std::string_view text, TJsonTrailingText trailing) {
  return TQuickJsonReader(text).Read(trailing);
}

TJsonValue FullParseJSON(std::string_view text, TJsonTrailingText trailing) {
  TJsonTreeBuilder builder(text.size());
  bool parsed = false;
  try {
    parsed = TNlohmannJson::sax_parse(text.data(), text.data() + text.size(), &builder,
                                      TNlohmannJson::input_format_t::json,
                                      trailing == TJsonTrailingText::Refuse);
  } catch (const TNlohmannJson::exception&) {
    // The parser reports through the builder; this is only a guard for its own failures.
    throw EJSONParserError("Invalid JSON");
  }
  if (!parsed) {
    throw EJSONParserError(builder.Error().empty() ? "Invalid JSON" : builder.Error());
  }
  return builder.TakeResult();
}

// First checked up to its closing quote, then copied in one piece, or, when it holds escapes,
// run by run into a string sized for it.
bool TQuickCursor::ReadString(std::string& out) {
  ++at_;  // the opening quote
  const char* begin = at_;
  bool escaped = false;
  for (;;) {
    // Up to the next byte that needs a look: a quote, an escape, or one from 0x80 up.
    while (static_cast<std::size_t>(end_ - at_) >= kBlock) {
      const TByteBlock block = LoadBlock(at_);
      const TByteBlock hits = EscapeBytes(block) | reinterpret_cast<TByteBlock>(block >= 0x80);
      const std::size_t first = FirstHit(hits);
      at_ += first;
      if (first < kBlock) break;
    }
    if (at_ == end_) return false;
    const auto c = static_cast<unsigned char>(*at_);
    if (c == '"') break;
    if (c >= 0x80) {
      std::size_t consumed = 0;
      const std::size_t length = Utf8SequenceLength(
          std::string_view(at_, static_cast<std::size_t>(end_ - at_)), 0, consumed);
      if (length == 0) return false;
      at_ += length;
    } else if (c == '\\') {
      if (end_ - at_ < 2 || Unescaped(at_[1]) == 0) return false;  // \u and unknown ones
      escaped = true;
      at_ += 2;
    } else if (c < 0x20) {
      return false;
    } else {
      ++at_;
    }
  }
  const char* close = at_++;
  if (!escaped) {
    out.assign(begin, close);
    return true;
  }
  // Every escape is two bytes that become one: the text shrinks in place.
  out.resize(static_cast<std::size_t>(close - begin));
  char* to = out.data();
  for (const char* run = begin; run < close;) {
    const void* found = std::memchr(run, '\\', static_cast<std::size_t>(close - run));
    const char* backslash = found ? static_cast<const char*>(found) : close;
    std::memcpy(to, run, static_cast<std::size_t>(backslash - run));
    to += backslash - run;
    if (backslash == close) break;
    *to++ = Unescaped(backslash[1]);
    run = backslash + 2;
  }
  out.resize(static_cast<std::size_t>(to - out.data()));
  return true;
}

}  // namespace json_internal

TJsonValue ParseJSON(std::string_view text, TJsonTrailingText trailing) {
  if (std::optional<TJsonValue> quick = json_internal::QuickParseJSON(text, trailing))
    return std::move(*quick);
  return json_internal::FullParseJSON(text, trailing);
}

}  // namespace dravik
