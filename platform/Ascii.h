// ASCII-only character helpers. Locale-free on purpose: the GUI toolkit switches the
// process locale, and file, key and variable names must compare the same way always.
#pragma once

#include <string>
#include <string_view>

namespace dravik::platform {

constexpr char AsciiLower(char c) noexcept {
  return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}
constexpr char AsciiUpper(char c) noexcept {
  return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c;
}

constexpr bool AsciiEqualNoCase(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  return true;
}

inline std::string AsciiLowerCopy(std::string_view s) {
  std::string r(s);
  for (char& c : r) c = AsciiLower(c);
  return r;
}

inline std::string AsciiUpperCopy(std::string_view s) {
  std::string r(s);
  for (char& c : r) c = AsciiUpper(c);
  return r;
}

}  // namespace dravik::platform
