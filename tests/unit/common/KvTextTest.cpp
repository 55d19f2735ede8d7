#include "KvText.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace dravik {
namespace {

using namespace std::string_literals;

TEST(KvTextTrim, EveryByteUpToSpaceIsDroppedAndHighBytesAreKept) {
  for (int c = 0; c <= 0x20; ++c) {
    const std::string blank(1, static_cast<char>(c));
    const std::string padded = blank + "a" + blank + "b" + blank;
    EXPECT_EQ(Trim(padded), "a" + blank + "b") << "byte " << c;
    EXPECT_EQ(TrimLeft(padded), "a" + blank + "b" + blank) << "byte " << c;
    EXPECT_EQ(TrimRight(padded), blank + "a" + blank + "b") << "byte " << c;
  }
  for (int c = 0x80; c <= 0xFF; ++c) {
    const std::string high(1, static_cast<char>(c));
    EXPECT_EQ(Trim(" " + high + " "), high) << "byte " << c;
  }
  EXPECT_EQ(Trim(" \t\r\n "), "");
  EXPECT_EQ(Trim("\x7F"), "\x7F");  // DEL is above the blank range
}

TEST(KvTextCase, OnlyAsciiLettersChange) {
  EXPECT_EQ(LowerCase("AbZ@[`{ \xC3\x84 \xD0\x90"), "abz@[`{ \xC3\x84 \xD0\x90");
  EXPECT_EQ(UpperCase("aBz@[`{ \xC3\xA4 \xD0\xB0"), "ABZ@[`{ \xC3\xA4 \xD0\xB0");
}

TEST(KvTextCompare, CaseInsensitiveComparisonsAgree) {
  struct Case {
    const char* a;
    const char* b;
    int sign;
  };
  const Case cases[] = {
      {"", "", 0},       {"abc", "ABC", 0}, {"abc", "abd", -1},
      {"ab", "abc", -1}, {"abc", "ab", 1},  {"Z", "a", 1},
      {"_", "a", 1},     {"a", "\x80", -1}, {"\xD0\x90", "\xD0\xB0", -1},
  };
  for (const Case& c : cases) {
    const int result = CompareText(c.a, c.b);
    EXPECT_EQ((result > 0) - (result < 0), c.sign) << c.a << " vs " << c.b;
    EXPECT_EQ(SameText(c.a, c.b), c.sign == 0) << c.a << " vs " << c.b;
  }
}

TEST(KvTextAffix, StartsAndEndsIgnoreAsciiCase) {
  EXPECT_TRUE(StartsText("HTTP", "http://x"));
  EXPECT_TRUE(StartsText("", "x"));
  EXPECT_FALSE(StartsText("https", "http"));
  EXPECT_TRUE(EndsText(".INI", "settings.ini"));
  EXPECT_TRUE(EndsText("", ""));
  EXPECT_FALSE(EndsText("x.ini", ".ini"));
}

TEST(KvTextFindText, FindsCaseInsensitivelyFromPositionAndNeverFindsEmpty) {
  struct Case {
    const char* text;
    const char* sub;
    std::size_t from;
    std::size_t expected;
  };
  constexpr std::size_t npos = std::string_view::npos;
  const Case cases[] = {
      {"Hello World", "WORLD", 0, 6},
      {"abAB", "ab", 1, 2},
      {"abAB", "ab", 3, npos},
      {"abc", "abc", 0, 0},
      {"abc", "abcd", 0, npos},
      {"abc", "", 0, npos},
      {"", "", 0, npos},
      {"abc", "c", 3, npos},
      {"abc", "c", 99, npos},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FindText(c.text, c.sub, c.from), c.expected)
        << c.text << " / " << c.sub << " from " << c.from;
  }
}

// The UTF-8 form of a code point below U+0800.
std::string Utf8(unsigned cp) {
  if (cp < 0x80) return std::string(1, static_cast<char>(cp));
  return {static_cast<char>(0xC0 | (cp >> 6)), static_cast<char>(0x80 | (cp & 0x3F))};
}

TEST(KvTextLowerCaseRu, FoldsEveryCyrillicCapitalAndYo) {
  std::string capitals = Utf8(0x401);
  std::string smalls = Utf8(0x451);
  for (unsigned cp = 0x410; cp <= 0x42F; ++cp) {
    capitals += Utf8(cp);
    smalls += Utf8(cp + 0x20);
  }
  EXPECT_EQ(LowerCaseRu(capitals), smalls);
  EXPECT_EQ(LowerCaseRu(smalls), smalls);
}

TEST(KvTextLowerCaseRu, LeavesOtherCharactersAndInvalidBytesAlone) {
  const struct {
    std::string input;
    std::string expected;
  } cases[] = {
      {"ABC-\xD0\x9A\xD0\xA1"
       "1",
       "abc-\xD0\xBA\xD1\x81"
       "1"},                                                     // "ABC-КС1"
      {"\xD0\x80\xD0\x82\xD0\x8F", "\xD0\x80\xD0\x82\xD0\x8F"},  // Ѐ Ђ Џ are not folded
      {"\xD0", "\xD0"},                                          // truncated at the end
      {"\xD0"
       "A",
       "\xD0"
       "a"},                                     // lead without continuation
      {"\x90\xD0\xD0\x90", "\x90\xD0\xD0\xB0"},  // stray bytes, then А
      {"\xC3\x84", "\xC3\x84"},                  // Ä is not folded
  };
  for (const auto& c : cases) EXPECT_EQ(LowerCaseRu(c.input), c.expected) << c.input;
}

TEST(KvTextSameTextRu, MatchesCyrillicCaseButNeverLatinLookAlikes) {
  const struct {
    const char* a;
    const char* b;
    bool same;
  } cases[] = {
      {"\xD0\xBA\xD1\x81"
       "1",
       "\xD0\x9A\xD0\xA1"
       "1",
       true},  // "кс1" and "КС1"
      {"\xD0\x81\xD0\xBB\xD0\xBA\xD0\xB0", "\xD1\x91\xD0\x9B\xD0\x9A\xD0\x90", true},
      {"K", "\xD0\x9A", false},  // Latin K, Cyrillic К
      {"k", "\xD0\xBA", false},
      {"\xD0\x9A", "\xD0\x9A\xD0\x9A", false},
      {"Key", "KEY", true},
  };
  for (const auto& c : cases) EXPECT_EQ(SameTextRu(c.a, c.b), c.same) << c.a << " vs " << c.b;
}

TEST(KvTextSplitLines, EndsLinesAtCrLfLoneCrOrLoneLf) {
  const struct {
    std::string text;
    std::vector<std::string> lines;
  } cases[] = {
      {"", {}},
      {"\n", {""}},
      {"\r\n", {""}},
      {"\r", {""}},
      {"a", {"a"}},
      {"a\r\n", {"a"}},
      {"a\r\n\r\nb", {"a", "", "b"}},
      {"a\rb\nc\r\nd", {"a", "b", "c", "d"}},
      {"a\n\rb", {"a", "", "b"}},  // LF CR is two breaks
      {"a\r\r\n", {"a", ""}},
      {"\n\n", {"", ""}},
      {"a\0b\n"s, {"a\0b"s}},
  };
  for (const auto& c : cases) EXPECT_EQ(SplitLines(c.text), c.lines) << c.text;
}

TEST(KvTextTryParseInt, AcceptsStrictDecimalInt32Only) {
  const struct {
    std::string text;
    bool ok;
    std::int32_t value;
  } cases[] = {
      {"0", true, 0},
      {"42", true, 42},
      {"+42", true, 42},
      {"-42", true, -42},
      {"-0", true, 0},
      {"007", true, 7},
      {"2147483647", true, std::numeric_limits<std::int32_t>::max()},
      {"-2147483648", true, std::numeric_limits<std::int32_t>::min()},
      {"000000000002147483647", true, std::numeric_limits<std::int32_t>::max()},
      {"2147483648", false, 0},
      {"-2147483649", false, 0},
      {"4294967296", false, 0},
      {"99999999999999999999", false, 0},
      {"", false, 0},
      {"+", false, 0},
      {"-", false, 0},
      {"+-1", false, 0},
      {" 1", false, 0},
      {"1 ", false, 0},
      {"1a", false, 0},
      {"0x10", false, 0},
      {"1.0", false, 0},
      {"1\0"s, false, 0},
      {"\xD9\xA1", false, 0},  // a non-ASCII digit
  };
  for (const auto& c : cases) {
    std::int32_t value = 12345;
    EXPECT_EQ(TryParseInt(c.text, value), c.ok) << c.text;
    EXPECT_EQ(value, c.ok ? c.value : 12345) << c.text;
  }
}

TEST(KvTextStringReplaceAll, ReplacesNonOverlappingLeftToRight) {
  const struct {
    const char* text;
    const char* from;
    const char* to;
    const char* expected;
  } cases[] = {
      {"a.b.c", ".", "::", "a::b::c"}, {"aaaa", "aa", "b", "bb"}, {"aaa", "aa", "b", "ba"},
      {"abc", "", "x", "abc"},         {"abc", "abc", "", ""},    {"", "a", "b", ""},
      {"aXa", "a", "aa", "aaXaa"},     {"ab", "AB", "x", "ab"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(StringReplaceAll(c.text, c.from, c.to), c.expected) << c.text << " " << c.from;
  }
}

TEST(KvTextIntToHex, WritesUpperCaseDigitsPaddedToMinimum) {
  const struct {
    std::uint64_t value;
    int minDigits;
    const char* expected;
  } cases[] = {
      {0, 0, "0"},
      {0, -5, "0"},
      {0, 4, "0000"},
      {0xABCDEF, 2, "ABCDEF"},
      {0x1F, 8, "0000001F"},
      {std::numeric_limits<std::uint64_t>::max(), 1, "FFFFFFFFFFFFFFFF"},
      {0x10, 20, "00000000000000000010"},
  };
  for (const auto& c : cases) EXPECT_EQ(IntToHex(c.value, c.minDigits), c.expected);
}

}  // namespace
}  // namespace dravik
