#include "KvBase64.h"

#include <gtest/gtest.h>

#include <array>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <string_view>

#include "KvGuid.h"
#include "KvObject.h"

namespace dravik {
namespace {

using namespace std::string_literals;

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string RandomBytes(std::mt19937& random, std::size_t count) {
  std::uniform_int_distribution<int> byte(0, 255);
  std::string bytes(count, '\0');
  for (char& c : bytes) c = static_cast<char>(byte(random));
  return bytes;
}

// The message of the EBase64Error that strict decoding throws, or "" when it throws none.
std::string StrictDecodeError(std::string_view text) {
  try {
    Base64Decode(text, true);
  } catch (const EBase64Error& e) {
    return e.Message();
  }
  return "";
}

struct KnownCase {
  std::string bytes;
  std::string text;
};

TEST(Base64, KnownBytes_EncodeAndDecodeToTheirTexts) {
  const KnownCase cases[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
      {"\xFB\xEF\xFF"s, "++//"},
      {"\0\0\0\0"s, "AAAAAA=="},
  };
  for (const KnownCase& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(Base64Encode(c.bytes), c.text);
    EXPECT_EQ(Base64Decode(c.text, true), c.bytes);
    EXPECT_EQ(Base64Decode(c.text, false), c.bytes);
  }
}

TEST(Base64, RandomBytesOfEveryLengthUpTo64_RoundTripPaddedAndUnpadded) {
  std::mt19937 random(20240607);
  for (std::size_t length = 0; length <= 64; ++length) {
    SCOPED_TRACE(length);
    const std::string bytes = RandomBytes(random, length);

    const std::string text = Base64Encode(bytes);
    const std::string unpadded = text.substr(0, text.find('='));

    EXPECT_EQ(text.size(), (length + 2) / 3 * 4);
    EXPECT_EQ(unpadded.find_first_not_of(kAlphabet), std::string::npos);
    EXPECT_EQ(Base64Decode(text, true), bytes);
    EXPECT_EQ(Base64Decode(text, false), bytes);
    EXPECT_EQ(Base64Decode(unpadded, true), bytes);
    EXPECT_EQ(Base64Decode(unpadded, false), bytes);
    EXPECT_EQ(Base64DecodeBytes(text), std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
  }
}

TEST(Base64, StrictTextWithPartialPadding_DecodesAsIfPadded) {
  const KnownCase cases[] = {
      {"f", "Zg"}, {"f", "Zg="}, {"fo", "Zm8"}, {"foob", "Zm9vYg"}, {"foob", "Zm9vYg="},
  };
  for (const KnownCase& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(Base64Decode(c.text, true), c.bytes);
  }
}

TEST(Base64, StrictTextThatIsNotCleanBase64_ThrowsEBase64Error) {
  const std::string cases[] = {
      "Zm9v!",         // a character outside the alphabet
      "Zm9v YmFy",     // a blank
      "Zm9v\r\nYmFy",  // a line break
      "Zm9v\n",        // a final line break
      "Zm-_",          // the URL alphabet
      "Zm9v\xC3\xA9",  // a byte above 0x7F
      "Zm\0v"s,        // a NUL byte
      "Zg==Zg==",      // '=' in the middle
      "Zm=9",          // '=' inside the last group
      "Z===",          // three '='
      "Zm8==",         // more '=' than the last group takes
      "Zm9v=",         // '=' after a complete group
      "=",             // padding only
      "==",
      "Z",  // a last group of a single character
      "Zm9vY",
      "Zm9vY=",
  };
  for (const std::string& text : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(StrictDecodeError(text), "Non-valid Base64 Encoding character in input");
  }
}

TEST(Base64, LenientText_SkipsCharactersOutsideTheAlphabet) {
  const KnownCase cases[] = {
      {"foobar", "Zm9v\r\nYmFy\r\n"},
      {"foobar", " Zm9v\tYm Fy "},
      {"f", "Zg=\n="},
      {"foo", "Zm9vY"},                          // the lone last character's bits are dropped
      {Base64Decode("ZgZg", true), "Zg==Zg=="},  // inner '=' are skipped like any other
      {"", "!*\n\xFF"},
      {"fo", "Zm8\xC3\xA9"},
  };
  for (const KnownCase& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(Base64Decode(c.text, false), c.bytes);
  }
}

// Lenient decoding of any text is strict decoding of its alphabet characters, less a lone
// last one; run over random texts of a mixed alphabet, this also lets the sanitizer see
// every path of both decoders.
TEST(Base64, RandomText_LenientDecodingEqualsStrictDecodingOfItsAlphabetCharacters) {
  constexpr std::string_view kMixed = "AZaz09+/=\r\n -_\x80\xFF";
  std::mt19937 random(7);
  std::uniform_int_distribution<std::size_t> pick(0, kMixed.size() - 1);
  std::uniform_int_distribution<std::size_t> length(0, 40);
  for (int i = 0; i < 3000; ++i) {
    std::string text(length(random), '\0');
    for (char& c : text) c = kMixed[pick(random)];
    std::string clean;
    for (char c : text)
      if (kAlphabet.find(c) != std::string_view::npos) clean.push_back(c);
    if (clean.size() % 4 == 1) clean.pop_back();
    SCOPED_TRACE(text);

    EXPECT_EQ(Base64Decode(text, false), Base64Decode(clean, true));
  }
}

TEST(KvGuid, CreateGuidText_HasRegistryFormWithVersion4AndRfcVariant) {
  const std::regex form(
      "\\{[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}\\}");
  for (int i = 0; i < 100; ++i) {
    const std::string guid = CreateGuidText();
    EXPECT_TRUE(std::regex_match(guid, form)) << guid;
  }
}

TEST(KvGuid, CreateGuidText_ManyCalls_AreUniqueAndVaryInEveryRandomDigit) {
  constexpr int kCount = 5000;
  constexpr std::size_t kVersionDigit = 15;
  constexpr std::size_t kVariantDigit = 20;
  std::set<std::string> seen;
  std::array<std::set<char>, 38> digitsAt;

  for (int i = 0; i < kCount; ++i) {
    const std::string guid = CreateGuidText();
    ASSERT_EQ(guid.size(), digitsAt.size());
    seen.insert(guid);
    for (std::size_t p = 0; p < guid.size(); ++p) digitsAt[p].insert(guid[p]);
  }

  EXPECT_EQ(seen.size(), std::size_t{kCount});
  EXPECT_EQ(digitsAt[kVersionDigit], std::set<char>{'4'});
  EXPECT_EQ(digitsAt[kVariantDigit], (std::set<char>{'8', '9', 'A', 'B'}));
  // Every other digit carries four random bits, and 5000 draws show all 16 values.
  for (std::size_t p = 1; p + 1 < digitsAt.size(); ++p) {
    if (p == kVersionDigit || p == kVariantDigit || digitsAt[p] == std::set<char>{'-'}) continue;
    SCOPED_TRACE(p);
    EXPECT_EQ(digitsAt[p].size(), 16u);
  }
}

}  // namespace
}  // namespace dravik
