// JSON text in the system's own form.
#pragma once

#include <string>
#include <string_view>

namespace dravik {

// Appends Text as a JSON string in double quotes: '"' and '\' escaped with a backslash,
// backspace, tab, line feed, form feed and carriage return as \b \t \n \f \r, every other
// byte below 32 as \u00XX (upper-case hexadecimal); '/' and bytes from 0x80 up unchanged.
void AppendJsonString(std::string& out, std::string_view text);
std::string JsonQuoteString(std::string_view text);

}  // namespace dravik
