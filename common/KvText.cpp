#include "KvText.h"

#include <algorithm>

#include "Ascii.h"

namespace dravik {

namespace {

constexpr bool IsBlank(char c) noexcept { return static_cast<unsigned char>(c) <= 0x20; }

std::string_view TrimLeftView(std::string_view s) noexcept {
  std::size_t begin = 0;
  while (begin < s.size() && IsBlank(s[begin])) ++begin;
  return s.substr(begin);
}

std::string_view TrimRightView(std::string_view s) noexcept {
  std::size_t end = s.size();
  while (end > 0 && IsBlank(s[end - 1])) --end;
  return s.substr(0, end);
}

// The second byte of a two-byte UTF-8 capital under lead byte 0xD0, folded to its small
// letter: U+0410-U+041F -> U+0430-U+043F (same lead), U+0420-U+042F -> U+0440-U+044F and
// U+0401 -> U+0451 (lead 0xD1). Returns false for every other byte.
bool FoldCyrillicCapital(unsigned char second, unsigned char& lead, unsigned char& tail) noexcept {
  if (second >= 0x90 && second <= 0x9F) {
    lead = 0xD0;
    tail = static_cast<unsigned char>(second + 0x20);
    return true;
  }
  if (second >= 0xA0 && second <= 0xAF) {
    lead = 0xD1;
    tail = static_cast<unsigned char>(second - 0x20);
    return true;
  }
  if (second == 0x81) {
    lead = 0xD1;
    tail = 0x91;
    return true;
  }
  return false;
}

}  // namespace

std::string_view TrimView(std::string_view s) noexcept { return TrimRightView(TrimLeftView(s)); }

std::string Trim(std::string_view s) { return std::string(TrimView(s)); }
std::string TrimLeft(std::string_view s) { return std::string(TrimLeftView(s)); }
std::string TrimRight(std::string_view s) { return std::string(TrimRightView(s)); }

std::string LowerCase(std::string_view s) { return platform::AsciiLowerCopy(s); }
std::string UpperCase(std::string_view s) { return platform::AsciiUpperCopy(s); }

bool SameText(std::string_view a, std::string_view b) noexcept {
  return platform::AsciiEqualNoCase(a, b);
}

int CompareText(std::string_view a, std::string_view b) noexcept {
  const std::size_t common = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < common; ++i) {
    const auto ca = static_cast<unsigned char>(platform::AsciiUpper(a[i]));
    const auto cb = static_cast<unsigned char>(platform::AsciiUpper(b[i]));
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

bool StartsText(std::string_view prefix, std::string_view text) noexcept {
  return prefix.size() <= text.size() && SameText(prefix, text.substr(0, prefix.size()));
}

bool EndsText(std::string_view suffix, std::string_view text) noexcept {
  return suffix.size() <= text.size() && SameText(suffix, text.substr(text.size() - suffix.size()));
}

std::size_t FindText(std::string_view text, std::string_view sub, std::size_t from) noexcept {
  if (sub.empty() || from > text.size() || sub.size() > text.size() - from) {
    return std::string_view::npos;
  }
  const std::size_t last = text.size() - sub.size();
  for (std::size_t i = from; i <= last; ++i) {
    if (SameText(text.substr(i, sub.size()), sub)) return i;
  }
  return std::string_view::npos;
}

std::string LowerCaseRu(std::string_view s) {
  std::string result(s);
  for (std::size_t i = 0; i < result.size(); ++i) {
    const auto c = static_cast<unsigned char>(result[i]);
    unsigned char lead = 0;
    unsigned char tail = 0;
    // 0xD0 is never a continuation byte, so a match here is always a whole character.
    if (c == 0xD0 && i + 1 < result.size() &&
        FoldCyrillicCapital(static_cast<unsigned char>(result[i + 1]), lead, tail)) {
      result[i] = static_cast<char>(lead);
      result[i + 1] = static_cast<char>(tail);
      ++i;
    } else {
      result[i] = platform::AsciiLower(result[i]);
    }
  }
  return result;
}

bool SameTextRu(std::string_view a, std::string_view b) {
  return a.size() == b.size() && LowerCaseRu(a) == LowerCaseRu(b);
}

std::vector<std::string> SplitLines(std::string_view text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  std::size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (c != '\r' && c != '\n') {
      ++i;
      continue;
    }
    lines.emplace_back(text.substr(start, i - start));
    i += (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ? 2 : 1;
    start = i;
  }
  if (start < text.size()) lines.emplace_back(text.substr(start));
  return lines;
}

bool TryParseInt(std::string_view text, std::int32_t& value) noexcept {
  bool negative = false;
  std::size_t i = 0;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    negative = text[0] == '-';
    i = 1;
  }
  if (i == text.size()) return false;
  // The magnitude is gathered unsigned so that INT32_MIN, whose magnitude no int32 holds,
  // parses without overflow.
  const std::uint32_t limit = negative ? 2147483648u : 2147483647u;
  std::uint32_t magnitude = 0;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c < '0' || c > '9') return false;
    const auto digit = static_cast<std::uint32_t>(c - '0');
    if (magnitude > (limit - digit) / 10) return false;
    magnitude = magnitude * 10 + digit;
  }
  // Conversion of an out-of-range unsigned value is modular in C++20, which maps 2^31 to
  // INT32_MIN.
  value = static_cast<std::int32_t>(negative ? 0u - magnitude : magnitude);
  return true;
}

std::string StringReplaceAll(std::string_view text, std::string_view from, std::string_view to) {
  if (from.empty()) return std::string(text);
  std::string result;
  result.reserve(text.size());
  std::size_t start = 0;
  for (std::size_t found = text.find(from); found != std::string_view::npos;
       found = text.find(from, start)) {
    result.append(text.substr(start, found - start));
    result.append(to);
    start = found + from.size();
  }
  result.append(text.substr(start));
  return result;
}

std::string IntToHex(std::uint64_t value, int minDigits) {
  constexpr char kDigits[] = "0123456789ABCDEF";
  char buffer[16];
  std::size_t count = 0;
  do {
    buffer[sizeof buffer - 1 - count] = kDigits[value & 0xF];
    value >>= 4;
    ++count;
  } while (value != 0);
  std::string result;
  if (minDigits > static_cast<int>(count)) {
    result.assign(static_cast<std::size_t>(minDigits) - count, '0');
  }
  result.append(buffer + sizeof buffer - count, count);
  return result;
}

std::size_t Utf8SequenceLength(std::string_view text, std::size_t at,
                               std::size_t& consumed) noexcept {
  const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[at + i]); };
  const std::uint8_t lead = byte(0);
  consumed = 1;
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  std::uint8_t low = 0x80;
  std::uint8_t high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  for (std::size_t i = 1; i < length; ++i) {
    if (at + i >= text.size()) return 0;
    const std::uint8_t next = byte(i);
    if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF)) return 0;
    consumed = i + 1;
  }
  return length;
}

}  // namespace dravik
