// Text helpers on UTF-8 byte strings.
//
// Case folding is ASCII-only and locale-free (the GUI toolkit changes the process
// locale), except for the *Ru helpers, which also fold the Cyrillic capitals.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace dravik {

// Drop leading and/or trailing bytes <= 0x20 (as unsigned, so UTF-8 bytes stay).
std::string Trim(std::string_view s);
std::string TrimLeft(std::string_view s);
std::string TrimRight(std::string_view s);
// Trim without a copy; the result points into `s`.
std::string_view TrimView(std::string_view s) noexcept;

// ASCII letters only; every other byte is unchanged.
std::string LowerCase(std::string_view s);
std::string UpperCase(std::string_view s);

// ASCII case-insensitive equality.
bool SameText(std::string_view a, std::string_view b) noexcept;
// ASCII case-insensitive three-way compare of unsigned bytes (<0, 0, >0). Letters compare
// as their upper-case forms, so "_" sorts after the letters.
int CompareText(std::string_view a, std::string_view b) noexcept;
// ASCII case-insensitive prefix and suffix tests; an empty prefix or suffix always matches.
bool StartsText(std::string_view prefix, std::string_view text) noexcept;
bool EndsText(std::string_view suffix, std::string_view text) noexcept;
// ASCII case-insensitive find of `sub` at or after `from`; npos when absent. An empty `sub`
// finds nothing, so that a loop that advances past each match always ends.
std::size_t FindText(std::string_view text, std::string_view sub, std::size_t from = 0) noexcept;

// LowerCase that also folds the UTF-8 Cyrillic capitals А-Я and Ё to а-я and ё.
// The byte length never changes; invalid UTF-8 passes through untouched.
std::string LowerCaseRu(std::string_view s);
// Equality after LowerCaseRu: "кс1" equals "КС1", Latin "K" never equals Cyrillic "К".
bool SameTextRu(std::string_view a, std::string_view b);

// The one line splitter for texts: a line ends at CR LF, a lone CR or a lone LF; a final
// break adds no line. "" gives no lines, "\n" gives {""}, "a\r\n\r\nb" gives {"a", "", "b"}.
std::vector<std::string> SplitLines(std::string_view text);

// Strict decimal int32: an optional sign, one or more ASCII digits, nothing else, in range.
// `value` is left unchanged on failure.
bool TryParseInt(std::string_view text, std::int32_t& value) noexcept;

// Every non-overlapping occurrence of `from`, left to right; an empty `from` changes nothing.
std::string StringReplaceAll(std::string_view text, std::string_view from, std::string_view to);

// Upper-case hexadecimal without a prefix, zero-padded to at least `minDigits` digits
// (and never fewer than one).
std::string IntToHex(std::uint64_t value, int minDigits);

// The length of the well-formed sequence at text[at], or 0 when the bytes there do not
// start one; the ranges of the second byte are those of the Unicode table of well-formed
// byte sequences. `consumed` receives the length of the maximal ill-formed subpart otherwise.
std::size_t Utf8SequenceLength(std::string_view text, std::size_t at,
                               std::size_t& consumed) noexcept;

}  // namespace dravik
