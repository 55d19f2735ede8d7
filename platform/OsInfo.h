// The OS description of the log header and of the API's system information, in the form
// "Linux 6.1 Build 0 (Debian GNU/Linux 12 (bookworm)) 64-bit". The kernel's patch level
// stands where the system's first OS had its build number.
#pragma once

#include <string>
#include <string_view>

namespace dravik::platform {

struct OsFacts {
  std::string sysname;     // uname: "Linux"
  std::string release;     // uname: "6.1.0-27-amd64"
  std::string machine;     // uname: "x86_64"
  std::string prettyName;  // os-release PRETTY_NAME, "" when absent
};

// uname() and PRETTY_NAME of /etc/os-release, or of /usr/lib/os-release when the former
// does not exist.
OsFacts ReadOsFacts();

// PRETTY_NAME of an os-release file, unquoted; "" when the file or the key is missing.
std::string ReadPrettyName(const std::string& osReleaseFile);

// PRETTY_NAME of os-release text: the last assignment, with shell-style quotes removed
// (single quotes literal, double quotes with backslash escapes); "" when absent.
std::string PrettyNameFromOsRelease(std::string_view osReleaseText);

// sysname + " major.minor Build patch" from the release's leading numbers (missing ones are
// 0), then " (prettyName)" when there is one.
std::string FormatOsVersionName(const OsFacts& facts);

// 64 for a 64-bit machine name of uname (x86_64, aarch64, ppc64le, s390x, ...), else 32.
int OsBitness(std::string_view machine);

// FormatOsVersionName(ReadOsFacts()).
std::string OsVersionName();

// Whether the OS (not this process) is 64-bit.
bool IsOs64Bit();

// OsVersionName() + " 64-bit" or " 32-bit".
std::string OsVersionText();

}  // namespace dravik::platform
