// Conversions between UTF-8 and the code page 1251 texts of outside clients and signed data.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace dravik {

// Converts `input` between two encodings with iconv. A sequence the source does not define
// or the target cannot hold becomes `replacement` when one is given (once per whole UTF-8
// sequence when the source is UTF-8, else once per byte); otherwise, and when iconv has no
// such conversion, the result is empty.
std::optional<std::string> ConvertEncoding(const char* to, const char* from, std::string_view input,
                                           std::optional<std::string_view> replacement);

// UTF-8 text in code page 1251; a character the code page lacks, and a byte that is no
// UTF-8, becomes '?'.
std::string Utf8ToCp1251(std::string_view text);

}  // namespace dravik
