#include "OsInfo.h"

#include <sys/utsname.h>

#include <array>
#include <cstring>
#include <optional>

#include "Ascii.h"
#include "Files.h"

namespace dravik::platform {
namespace {

constexpr std::string_view kPrettyNameKey = "PRETTY_NAME";
constexpr std::string_view kDoubleQuoteEscapable = "$\"\\`";

constexpr bool IsBlank(char c) noexcept { return c == ' ' || c == '\t' || c == '\r'; }
constexpr bool IsDigit(char c) noexcept { return c >= '0' && c <= '9'; }

std::string_view TrimBlanks(std::string_view text) noexcept {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

// Removes shell-style quoting from an os-release value the way the format's own readers do:
// single quotes are literal, inside double quotes a backslash escapes only $ " \ and `,
// outside quotes it escapes any character, and unquoted blanks at the end are dropped.
std::string UnquoteValue(std::string_view raw) {
  enum class Quote { None, Single, Double };
  Quote quote = Quote::None;
  std::string value;
  std::size_t keptLength = 0;  // the value without its unquoted trailing blanks
  for (std::size_t i = 0; i < raw.size(); ++i) {
    const char c = raw[i];
    const bool hasNext = i + 1 < raw.size();
    if (quote == Quote::Single) {
      if (c == '\'') {
        quote = Quote::None;
      } else {
        value += c;
      }
      keptLength = value.size();
    } else if (quote == Quote::Double) {
      if (c == '"') {
        quote = Quote::None;
      } else if (c == '\\' && hasNext &&
                 kDoubleQuoteEscapable.find(raw[i + 1]) != std::string_view::npos) {
        value += raw[++i];
      } else {
        value += c;
      }
      keptLength = value.size();
    } else if (c == '\'') {
      quote = Quote::Single;
    } else if (c == '"') {
      quote = Quote::Double;
    } else {
      value += (c == '\\' && hasNext) ? raw[++i] : c;
      if (!IsBlank(c)) keptLength = value.size();
    }
  }
  value.resize(keptLength);
  return value;
}

// The leading numbers of a kernel release ("6.1.0-27-amd64": 6, 1, 0), kept as digit text
// without leading zeros so that no length of number can overflow; missing ones are "0".
std::array<std::string, 3> ReleaseNumbers(std::string_view release) {
  std::array<std::string, 3> numbers{"0", "0", "0"};
  std::size_t position = 0;
  for (std::string& number : numbers) {
    std::size_t end = position;
    while (end < release.size() && IsDigit(release[end])) ++end;
    if (end == position) break;
    const std::string_view digits = release.substr(position, end - position);
    const std::size_t significant = digits.find_first_not_of('0');
    if (significant != std::string_view::npos) number.assign(digits.substr(significant));
    if (end == release.size() || release[end] != '.') break;
    position = end + 1;
  }
  return numbers;
}

// A field of struct utsname, which the kernel terminates unless it fills the array.
template <std::size_t N>
std::string UtsText(const char (&field)[N]) {
  return std::string(field, strnlen(field, N));
}

std::string MachineOfUname() {
  utsname system{};
  if (uname(&system) != 0) return {};
  return UtsText(system.machine);
}

}  // namespace

OsFacts ReadOsFacts() {
  OsFacts facts;
  utsname system{};
  if (uname(&system) == 0) {
    facts.sysname = UtsText(system.sysname);
    facts.release = UtsText(system.release);
    facts.machine = UtsText(system.machine);
  }
  // The os-release rules: /usr/lib/os-release is read only when /etc/os-release is missing.
  std::optional<std::string> text = ReadWholeFile("/etc/os-release");
  if (!text) text = ReadWholeFile("/usr/lib/os-release");
  if (text) facts.prettyName = PrettyNameFromOsRelease(*text);
  return facts;
}

std::string ReadPrettyName(const std::string& osReleaseFile) {
  const std::optional<std::string> text = ReadWholeFile(osReleaseFile);
  return text ? PrettyNameFromOsRelease(*text) : std::string();
}

std::string PrettyNameFromOsRelease(std::string_view osReleaseText) {
  std::string prettyName;
  while (!osReleaseText.empty()) {
    const std::size_t lineEnd = osReleaseText.find('\n');
    const std::string_view line = TrimBlanks(osReleaseText.substr(0, lineEnd));
    osReleaseText.remove_prefix(lineEnd == std::string_view::npos ? osReleaseText.size()
                                                                  : lineEnd + 1);
    if (line.empty() || line.front() == '#' || line.front() == ';') continue;
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) continue;
    if (TrimBlanks(line.substr(0, equals)) != kPrettyNameKey) continue;
    // Later assignments override earlier ones, as when the file is sourced by a shell.
    prettyName = UnquoteValue(TrimBlanks(line.substr(equals + 1)));
  }
  return prettyName;
}

std::string FormatOsVersionName(const OsFacts& facts) {
  const std::array<std::string, 3> numbers = ReleaseNumbers(facts.release);
  std::string name = facts.sysname + " " + numbers[0] + "." + numbers[1] + " Build " + numbers[2];
  if (!facts.prettyName.empty()) name += " (" + facts.prettyName + ")";
  return name;
}

int OsBitness(std::string_view machine) {
  // 64-bit machine names that do not end in "64".
  constexpr std::string_view kOther64BitMachines[] = {"s390x", "ppc64le", "aarch64_be", "mips64el",
                                                      "alpha"};
  const std::string lower = AsciiLowerCopy(machine);
  if (std::string_view(lower).ends_with("64")) return 64;
  for (std::string_view known : kOther64BitMachines)
    if (lower == known) return 64;
  return 32;
}

std::string OsVersionName() { return FormatOsVersionName(ReadOsFacts()); }

bool IsOs64Bit() { return OsBitness(MachineOfUname()) == 64; }

std::string OsVersionText() { return OsVersionName() + (IsOs64Bit() ? " 64-bit" : " 32-bit"); }

}  // namespace dravik::platform
