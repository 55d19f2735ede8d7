#include "KvCodePage.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <string>

namespace dravik {
namespace {

TEST(Utf8ToCp1251Test, EveryCharacterOfTheCodePage_GivesItsByte) {
  iconv_t cd = iconv_open("UTF-8", "CP1251");
  ASSERT_NE(cd, reinterpret_cast<iconv_t>(-1));
  for (int byte = 0x20; byte <= 0xFF; ++byte) {
    if (byte == 0x98) continue;  // no character
    char in = static_cast<char>(byte);
    char out[8] = {};
    char* inPtr = &in;
    char* outPtr = out;
    std::size_t inLeft = 1, outLeft = sizeof(out);
    ASSERT_NE(iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft), static_cast<std::size_t>(-1));

    EXPECT_EQ(Utf8ToCp1251(std::string(out, outPtr)), std::string(1, in)) << byte;
  }
  iconv_close(cd);
}

TEST(Utf8ToCp1251Test, CharactersOutsideTheCodePageAndBrokenBytes_BecomeQuestionMarks) {
  const struct {
    std::string text;
    std::string expected;
  } cases[] = {
      {"a中b", "a?b"},         {"\xF0\x9F\x98\x80", "?"},  // outside the basic plane
      {"x\xC3", "x?"},                                     // cut
      {"\xC0\xAF", "??"},                                  // overlong
      {"\xED\xA0\x80", "???"},                             // surrogate
      {"\x80z", "?z"},
  };
  for (const auto& c : cases) EXPECT_EQ(Utf8ToCp1251(c.text), c.expected) << c.text;
}

}  // namespace
}  // namespace dravik
