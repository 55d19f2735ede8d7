#include "Environment.h"

#include <pwd.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "Ascii.h"

extern char** environ;

namespace dravik::platform {
namespace {

// Far beyond any real user-database entry or host name; stops a runaway source from
// making the buffers grow without end.
constexpr std::size_t kMaxAccountBuffer = std::size_t(1) << 24;
constexpr std::size_t kMaxHostNameBuffer = std::size_t(1) << 16;

std::optional<std::string> FindInEnvironment(std::string_view name, bool ignoreCase) {
  if (environ == nullptr) return std::nullopt;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const char* equals = std::strchr(*entry, '=');
    if (equals == nullptr) continue;
    const std::string_view entryName(*entry, std::size_t(equals - *entry));
    if (ignoreCase ? AsciiEqualNoCase(entryName, name) : entryName == name)
      return std::string(equals + 1);
  }
  return std::nullopt;
}

std::optional<std::string> NonEmpty(std::string value) {
  if (value.empty()) return std::nullopt;
  return value;
}

std::optional<std::string> NonEmptyVariable(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') return std::nullopt;
  return std::string(value);
}

// The XDG rules and TMPDIR accept absolute paths only; anything else counts as unset.
std::optional<std::string> AbsolutePathVariable(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || value[0] != '/') return std::nullopt;
  return std::string(value);
}

std::string WithoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

std::string JoinPath(const std::string& folder, std::string_view relative) {
  std::string path = folder;
  if (path.back() != '/') path += '/';
  path += relative;
  return path;
}

struct Account {
  std::string name;
  std::string home;
};

std::optional<Account> CurrentAccount() {
  const long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(hint > 0 ? std::size_t(hint) : 1024);
  for (;;) {
    passwd entry{};
    passwd* found = nullptr;
    const int error = getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found);
    if (error == EINTR) continue;
    if (error == ERANGE && buffer.size() < kMaxAccountBuffer) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (error != 0 || found == nullptr) return std::nullopt;
    return Account{entry.pw_name != nullptr ? entry.pw_name : "",
                   entry.pw_dir != nullptr ? entry.pw_dir : ""};
  }
}

// Values for names that programs of the system's first OS expect to find set.
std::optional<std::string> StandInValue(std::string_view name) {
  if (AsciiEqualNoCase(name, "TEMP") || AsciiEqualNoCase(name, "TMP")) return TempDir();
  if (AsciiEqualNoCase(name, "APPDATA")) return NonEmpty(ConfigHomeDir());
  if (AsciiEqualNoCase(name, "LOCALAPPDATA")) return NonEmpty(DataHomeDir());
  if (AsciiEqualNoCase(name, "USERPROFILE")) return NonEmpty(HomeDir());
  if (AsciiEqualNoCase(name, "COMPUTERNAME")) return NonEmpty(MachineName());
  if (AsciiEqualNoCase(name, "USERNAME")) {
    if (auto user = NonEmptyVariable("USER")) return user;
    if (auto account = CurrentAccount()) return NonEmpty(account->name);
  }
  return std::nullopt;
}

std::string HomeRelativeDir(const char* xdgVariable, std::string_view underHome) {
  if (auto folder = AbsolutePathVariable(xdgVariable)) return WithoutTrailingSlashes(*folder);
  const std::string home = HomeDir();
  if (home.empty()) return {};
  return JoinPath(home, underHome);
}

}  // namespace

std::optional<std::string> GetEnvironmentValue(std::string_view name) {
  if (name.empty() || name.find_first_of(std::string_view("=\0", 2)) != std::string_view::npos)
    return std::nullopt;
  if (auto value = FindInEnvironment(name, false)) return value;
  if (auto value = FindInEnvironment(name, true)) return value;
  return StandInValue(name);
}

std::string ExpandEnvironmentText(std::string_view text) {
  std::string result;
  result.reserve(text.size());
  std::size_t position = 0;
  while (position < text.size()) {
    const std::size_t open = text.find('%', position);
    if (open == std::string_view::npos) break;
    const std::size_t close = text.find('%', open + 1);
    if (close == std::string_view::npos) break;
    result.append(text.substr(position, open - position));
    if (auto value = GetEnvironmentValue(text.substr(open + 1, close - open - 1))) {
      result += *value;
    } else {
      result.append(text.substr(open, close - open + 1));
    }
    position = close + 1;
  }
  result.append(text.substr(position));
  return result;
}

std::string MachineName() {
  for (std::string name(256, '\0'); name.size() <= kMaxHostNameBuffer;
       name.assign(name.size() * 2, '\0')) {
    // The last byte is kept out of the call, so the text stays terminated even when a
    // long name is cut short; a name that fills, or nearly fills, the room it was given
    // may have been, so it is read again with more room.
    if (gethostname(name.data(), name.size() - 1) == 0) {
      const std::size_t length = std::strlen(name.c_str());
      if (length + 2 < name.size()) {
        name.resize(length);
        return name;
      }
    } else if (errno != ENAMETOOLONG && errno != EINVAL) {
      break;
    }
  }
  utsname system{};
  if (uname(&system) != 0) return {};
  return std::string(system.nodename, strnlen(system.nodename, sizeof system.nodename));
}

std::string HomeDir() {
  if (auto home = NonEmptyVariable("HOME")) return WithoutTrailingSlashes(*home);
  if (auto account = CurrentAccount(); account && !account->home.empty())
    return WithoutTrailingSlashes(account->home);
  return {};
}

std::string TempDir() {
  if (auto folder = AbsolutePathVariable("TMPDIR")) return WithoutTrailingSlashes(*folder);
  return "/tmp";
}

std::string ConfigHomeDir() { return HomeRelativeDir("XDG_CONFIG_HOME", ".config"); }

std::string DataHomeDir() { return HomeRelativeDir("XDG_DATA_HOME", ".local/share"); }

}  // namespace dravik::platform
