#include "Registry.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <utility>

#include "Ascii.h"
#include "Environment.h"
#include "Files.h"
#include "UniqueFd.h"

namespace dravik::platform {

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

bool NeedsEscape(unsigned char byte, bool inName) {
  if (byte < 0x20 || byte == 0x7F || byte == '%') return true;
  return inName && (byte == '=' || byte == '#');
}

void AppendEscaped(std::string& out, std::string_view text, bool inName) {
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (NeedsEscape(byte, inName)) {
      out += '%';
      out += kHexDigits[byte >> 4];
      out += kHexDigits[byte & 0x0F];
    } else {
      out += c;
    }
  }
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::optional<std::string> Unescape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return std::nullopt;
    const int high = HexValue(text[i + 1]);
    const int low = HexValue(text[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return out;
}

std::optional<std::uint32_t> ParseDWord(std::string_view text) {
  if (text.empty() || text.size() > 8) return std::nullopt;
  std::uint32_t value = 0;
  for (const char c : text) {
    const int digit = HexValue(c);
    if (digit < 0) return std::nullopt;
    value = value * 16 + static_cast<std::uint32_t>(digit);
  }
  return value;
}

std::optional<TRegValue> ParseLine(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (line.empty() || line.front() == '#') return std::nullopt;
  const std::size_t equals = line.find('=');
  if (equals == std::string_view::npos) return std::nullopt;
  std::optional<std::string> name = Unescape(line.substr(0, equals));
  if (!name) return std::nullopt;
  const std::string_view data = line.substr(equals + 1);
  TRegValue value;
  value.Name = std::move(*name);
  if (data.starts_with("dword:")) {
    const std::optional<std::uint32_t> number = ParseDWord(data.substr(6));
    if (!number) return std::nullopt;
    value.Type = TRegDataType::DWord;
    value.DWord = *number;
  } else if (data.starts_with("sz:")) {
    std::optional<std::string> text = Unescape(data.substr(3));
    if (!text) return std::nullopt;
    value.Type = TRegDataType::String;
    value.Text = std::move(*text);
  } else {
    return std::nullopt;
  }
  return value;
}

std::vector<TRegValue>::iterator FindByName(std::vector<TRegValue>& values, std::string_view name) {
  for (auto it = values.begin(); it != values.end(); ++it)
    if (AsciiEqualNoCase(it->Name, name)) return it;
  return values.end();
}

[[noreturn]] void ThrowSystemError(int error, const std::string& what) {
  throw std::system_error(error, std::generic_category(), what);
}

bool MakeFolders(const std::string& folder) {
  for (std::size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
    const std::string part = folder.substr(0, slash);
    if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
    if (slash == std::string::npos) return true;
  }
}

bool ValidComponent(std::string_view part) {
  if (part == "." || part == "..") return false;
  if (part.find('/') != std::string_view::npos || part.find('\0') != std::string_view::npos)
    return false;
  return !part.starts_with(kRegistryValuesFile);
}

// Releases the folder's lock however the write ends.
class TFolderLock {
 public:
  explicit TFolderLock(int fd) : fd_(fd) {
    while (::flock(fd_, LOCK_EX) != 0)
      if (errno != EINTR) ThrowSystemError(errno, "Locking the registry key");
  }
  ~TFolderLock() { ::flock(fd_, LOCK_UN); }
  TFolderLock(const TFolderLock&) = delete;
  TFolderLock& operator=(const TFolderLock&) = delete;

 private:
  int fd_;
};

}  // namespace

std::string RegistryRoot() {
  if (const char* root = std::getenv("DRAVIK_REGISTRY_ROOT"); root && root[0] == '/') {
    std::string folder(root);
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    return folder;
  }
  const std::string config = ConfigHomeDir();
  if (config.empty()) return {};
  return (config == "/" ? "" : config) + "/Dravik/registry";
}

std::optional<std::string> RegistryKeyFolder(std::string_view root, std::string_view rootKeyName,
                                             std::string_view keyPath) {
  if (root.empty() || !ValidComponent(rootKeyName) || rootKeyName.empty()) return std::nullopt;
  std::string folder(root);
  if (folder.back() != '/') folder += '/';
  folder += rootKeyName;
  std::size_t start = 0;
  while (start <= keyPath.size()) {
    std::size_t end = keyPath.find('\\', start);
    if (end == std::string_view::npos) end = keyPath.size();
    const std::string_view part = keyPath.substr(start, end - start);
    if (!part.empty()) {
      if (!ValidComponent(part)) return std::nullopt;
      folder += '/';
      folder += part;
    }
    start = end + 1;
  }
  return folder;
}

std::vector<TRegValue> ParseRegistryValues(std::string_view text) {
  std::vector<TRegValue> values;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    std::optional<TRegValue> value = ParseLine(line);
    if (value && FindByName(values, value->Name) == values.end())
      values.push_back(std::move(*value));
  }
  return values;
}

std::string FormatRegistryValues(const std::vector<TRegValue>& values) {
  std::string text;
  for (const TRegValue& value : values) {
    AppendEscaped(text, value.Name, true);
    if (value.Type == TRegDataType::DWord) {
      text += "=dword:";
      for (int shift = 28; shift >= 0; shift -= 4) text += kHexDigits[(value.DWord >> shift) & 0xF];
    } else {
      text += "=sz:";
      AppendEscaped(text, value.Text, false);
    }
    text += '\n';
  }
  return text;
}

bool TRegistryKey::Open(const std::string& folder, TAccess access, bool create) {
  Close();
  if (folder.empty() || folder.front() != '/') return false;
  if (create && !MakeFolders(folder)) return false;
  const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return false;
  if (access == TAccess::Write && ::faccessat(dir, ".", W_OK, AT_EACCESS) != 0) {
    ::close(dir);
    return false;
  }
  dir_ = dir;
  folder_ = folder;
  access_ = access;
  return true;
}

void TRegistryKey::Close() noexcept {
  if (dir_ >= 0) ::close(std::exchange(dir_, -1));
  folder_.clear();
}

std::vector<TRegValue> TRegistryKey::ReadValues() const {
  if (!IsOpen()) throw TRegistryError("The registry key is not open");
  const std::string name(kRegistryValuesFile);
  TUniqueFd file(::openat(dir_, name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY));
  if (file.get() < 0) {
    if (errno == ENOENT) return {};
    ThrowSystemError(errno, "Opening the registry key's values");
  }
  struct stat info {};
  if (::fstat(file.get(), &info) != 0) ThrowSystemError(errno, "Reading the registry key's values");
  if (!S_ISREG(info.st_mode)) throw TRegistryError("The registry key's values are not a file");
  std::string text;
  char buffer[8192];
  for (;;) {
    const ssize_t n = ::read(file.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ThrowSystemError(errno, "Reading the registry key's values");
    if (n == 0) break;
    if (text.size() + static_cast<std::size_t>(n) > kMaxRegistryFileBytes)
      throw TRegistryError("The registry key's values are too large");
    text.append(buffer, static_cast<std::size_t>(n));
  }
  return ParseRegistryValues(text);
}

std::optional<TRegValue> TRegistryKey::FindValue(std::string_view name) const {
  std::vector<TRegValue> values = ReadValues();
  const auto it = FindByName(values, name);
  if (it == values.end()) return std::nullopt;
  return std::move(*it);
}

void TRegistryKey::WriteValue(const TRegValue& value) {
  if (!IsOpen() || access_ != TAccess::Write)
    throw TRegistryError("The registry key is not open for writing");
  TFolderLock lock(dir_);
  std::vector<TRegValue> values = ReadValues();
  if (const auto it = FindByName(values, value.Name); it != values.end())
    *it = value;
  else
    values.push_back(value);
  const std::string text = FormatRegistryValues(values);

  const TReplaceResult result = ReplaceFileContents(
      folder_ + "/" + std::string(kRegistryValuesFile), text, 0600, /*keepOldMode=*/false);
  if (result.error != 0)
    ThrowSystemError(result.error, result.writing ? "Writing the registry key's values"
                                                  : "Replacing the registry key's values");
}

TKeyChangeWatch::TKeyChangeWatch() : stop_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (stop_ < 0) ThrowSystemError(errno, "Creating the registry monitor's stop event");
}

TKeyChangeWatch::~TKeyChangeWatch() {
  Disarm();
  ::close(stop_);
}

bool TKeyChangeWatch::Arm(const std::string& folder, std::uint32_t filter) noexcept {
  Disarm();
  TUniqueFd fd(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
  if (fd.get() < 0) return false;
  constexpr std::uint32_t kEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                    IN_MODIFY | IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF |
                                    IN_ONLYDIR;
  if (::inotify_add_watch(fd.get(), folder.c_str(), kEvents) < 0) return false;
  inotify_ = fd.release();
  filter_ = filter;
  return true;
}

void TKeyChangeWatch::Disarm() noexcept {
  if (inotify_ >= 0) ::close(std::exchange(inotify_, -1));
}

bool TKeyChangeWatch::Relevant(std::uint32_t mask, std::string_view name) const noexcept {
  // The key itself went away or the queue overflowed: what the key holds is unknown now.
  if (mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_Q_OVERFLOW)) return true;
  if (name == kRegistryValuesFile) return (filter_ & (kNotifyNames | kNotifyValues)) != 0;
  // A writer's temporary file, or a plain file that is no part of the store.
  if (!(mask & IN_ISDIR)) return false;
  return (filter_ & kNotifyNames) != 0 &&
         (mask & (IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO)) != 0;
}

bool TKeyChangeWatch::DrainEvents() noexcept {
  alignas(inotify_event) char buffer[4096];
  bool relevant = false;
  for (;;) {
    const ssize_t n = ::read(inotify_, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return relevant;
    for (ssize_t offset = 0; offset < n;) {
      inotify_event event{};
      std::memcpy(&event, buffer + offset, sizeof event);
      const char* nameStart = buffer + offset + sizeof(inotify_event);
      const std::string_view name(nameStart, event.len ? ::strnlen(nameStart, event.len) : 0);
      if (Relevant(event.mask, name)) relevant = true;
      offset += static_cast<ssize_t>(sizeof(inotify_event) + event.len);
    }
  }
}

TKeyChangeWatch::TWake TKeyChangeWatch::Wait() noexcept {
  if (inotify_ < 0) return StopRequested() ? TWake::Stopped : TWake::Failed;
  for (;;) {
    pollfd fds[2] = {{stop_, POLLIN, 0}, {inotify_, POLLIN, 0}};
    const int ready = ::poll(fds, 2, -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return TWake::Failed;
    }
    if (fds[0].revents != 0) return TWake::Stopped;
    if (fds[1].revents & (POLLERR | POLLNVAL)) return TWake::Failed;
    if ((fds[1].revents & POLLIN) && DrainEvents()) return TWake::Changed;
  }
}

void TKeyChangeWatch::Stop() noexcept {
  const std::uint64_t one = 1;
  // The counter stays readable from now on, like a manual-reset event left signalled.
  [[maybe_unused]] const ssize_t written = ::write(stop_, &one, sizeof one);
}

bool TKeyChangeWatch::StopRequested() const noexcept {
  pollfd fd{stop_, POLLIN, 0};
  return ::poll(&fd, 1, 0) > 0 && (fd.revents & POLLIN);
}

}  // namespace dravik::platform
