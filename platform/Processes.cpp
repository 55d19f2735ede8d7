#include "Processes.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <memory>

#include "ModulePaths.h"
#include "UniqueFd.h"

namespace dravik::platform {
namespace {

bool IsCompatibilityLoader(std::string_view exeLink) {
  constexpr std::string_view kLoaders[] = {"wine", "wine64", "wine-preloader", "wine64-preloader"};
  const std::size_t slash = exeLink.rfind('/');
  const std::string_view fileName =
      slash == std::string_view::npos ? exeLink : exeLink.substr(slash + 1);
  return std::find(std::begin(kLoaders), std::end(kLoaders), fileName) != std::end(kLoaders);
}

std::string_view FirstArgument(std::string_view cmdline) {
  return cmdline.substr(0, cmdline.find('\0'));
}

// Reads the command line only as far as its first argument: the rest can be long.
std::string ReadFirstArgument(const std::string& cmdlinePath) {
  const int fd = open(cmdlinePath.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return {};
  std::string argument;
  char chunk[4096];
  for (;;) {
    const ssize_t count = read(fd, chunk, sizeof chunk);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) break;
    const std::string_view part(chunk, std::size_t(count));
    argument.append(FirstArgument(part));
    if (part.find('\0') != std::string_view::npos) break;
  }
  close(fd);
  return argument;
}

// A /proc entry names a process when it is a decimal number that fits an int.
bool ParseProcessId(std::string_view name, int& pid) {
  if (name.empty() || name.front() < '0' || name.front() > '9') return false;
  const auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), pid);
  return error == std::errc() && end == name.data() + name.size() && pid > 0;
}

// An environment block is a few kilobytes; a larger one is not read.
constexpr std::size_t kMaxEnvironmentSize = 1024 * 1024;

// Whether the process's /proc folder belongs to this program's user: another user's
// environment and folders are none of the program's business, also when it runs as root.
bool IsOwnUsersProcess(const std::string& folder) {
  struct stat info {};
  return ::stat(folder.c_str(), &info) == 0 && info.st_uid == ::getuid();
}

std::string ProcessFolder(int pid) { return "/proc/" + std::to_string(pid); }

}  // namespace

std::vector<int> ListProcessIds() {
  std::vector<int> ids;
  const std::unique_ptr<DIR, int (*)(DIR*)> proc(opendir("/proc"), &closedir);
  if (!proc) return ids;
  while (const dirent* entry = readdir(proc.get())) {
    int pid = 0;
    if (ParseProcessId(entry->d_name, pid)) ids.push_back(pid);
  }
  std::sort(ids.begin(), ids.end());
  return ids;
}

std::string ImagePathFromProcessLinks(std::string_view exeLink, std::string_view cmdline) {
  const std::string_view program = StripDeletedSuffix(exeLink);
  if (IsCompatibilityLoader(program)) {
    const std::string_view argument = FirstArgument(cmdline);
    if (!argument.empty()) return std::string(argument);
  }
  return std::string(program);
}

std::string ProcessImagePath(int pid) {
  if (pid <= 0) return {};
  const std::string folder = "/proc/" + std::to_string(pid);
  const std::optional<std::string> exeLink = ReadLinkTarget(folder + "/exe");
  if (!exeLink) return {};
  // Only a compatibility loader needs the command line; other processes are spared the read.
  const std::string cmdline = IsCompatibilityLoader(StripDeletedSuffix(*exeLink))
                                  ? ReadFirstArgument(folder + "/cmdline")
                                  : std::string();
  return ImagePathFromProcessLinks(*exeLink, cmdline);
}

std::optional<std::string> EnvironmentBlockValue(std::string_view block, std::string_view name) {
  while (!block.empty()) {
    const std::size_t end = block.find('\0');
    const std::string_view entry = block.substr(0, end);
    if (entry.size() > name.size() && entry.starts_with(name) && entry[name.size()] == '=')
      return std::string(entry.substr(name.size() + 1));
    if (end == std::string_view::npos) break;
    block.remove_prefix(end + 1);
  }
  return std::nullopt;
}

std::optional<std::string> ProcessEnvironmentValue(int pid, std::string_view name) {
  if (pid <= 0 || name.empty()) return std::nullopt;
  const std::string folder = ProcessFolder(pid);
  if (!IsOwnUsersProcess(folder)) return std::nullopt;
  const TUniqueFd fd(::open((folder + "/environ").c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (fd.get() < 0) return std::nullopt;
  std::string block;
  char chunk[8192];
  for (;;) {
    const ssize_t count = ::read(fd.get(), chunk, sizeof chunk);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) return std::nullopt;
    if (count == 0) break;
    if (block.size() + std::size_t(count) > kMaxEnvironmentSize) return std::nullopt;
    block.append(chunk, std::size_t(count));
  }
  return EnvironmentBlockValue(block, name);
}

std::string ProcessWorkingDir(int pid) {
  if (pid <= 0) return {};
  const std::string folder = ProcessFolder(pid);
  if (!IsOwnUsersProcess(folder)) return {};
  const std::optional<std::string> target = ReadLinkTarget(folder + "/cwd");
  if (!target || !target->starts_with('/')) return {};
  return std::string(StripDeletedSuffix(*target));
}

}  // namespace dravik::platform
