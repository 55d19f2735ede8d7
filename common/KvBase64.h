// Base64 of the standard alphabet (A-Z a-z 0-9 + /) with '=' padding.
//
// Encoding never breaks lines. Decoding accepts text without its padding; the strict form
// refuses anything that is not clean Base64, the lenient form skips whatever is not of the
// alphabet (line breaks of wrapped text, blanks, stray '=').
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace dravik {

// The Base64 text of arbitrary bytes, padded, on one line.
std::string Base64Encode(std::string_view bytes);

// The bytes of a Base64 text (a std::string of arbitrary bytes). Empty text gives empty.
// Text whose length is not a multiple of four is read as if '=' completed its last group.
// strict=false: every character outside the alphabet is skipped and bits that do not make a
// whole byte are dropped. strict=true: throws EBase64Error for a character outside the
// alphabet, '=' other than one or two completing the last group, or a last group of a
// single character. Unused low bits of the last character are not checked in either mode.
std::string Base64Decode(std::string_view text, bool strict);

// Lenient decoding to a byte vector.
std::vector<std::uint8_t> Base64DecodeBytes(std::string_view text);

}  // namespace dravik
