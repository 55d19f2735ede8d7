#include "Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace dravik::platform {

std::optional<std::string> ReadWholeFile(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return std::nullopt;
  std::string text(std::size_t(1) << 16, '\0');
  std::size_t used = 0;
  bool failed = false;
  for (;;) {
    if (used == text.size()) text.resize(text.size() * 2);
    const ssize_t count = read(fd, text.data() + used, text.size() - used);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) failed = errno != EAGAIN;
    if (count <= 0) break;
    used += std::size_t(count);
  }
  close(fd);
  if (failed) return std::nullopt;
  text.resize(used);
  return text;
}

int WriteAllBytes(int fd, std::string_view bytes) noexcept {
  while (!bytes.empty()) {
    const ssize_t count = write(fd, bytes.data(), bytes.size());
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return count < 0 ? errno : EIO;
    bytes.remove_prefix(static_cast<std::size_t>(count));
  }
  return 0;
}

TReplaceResult ReplaceFileContents(const std::string& path, std::string_view bytes, mode_t mode,
                                   bool keepOldMode) noexcept {
  const std::size_t slash = path.rfind('/');
  const std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  // Beside the file, so that the rename stays within one file system.
  std::string temporary = path.substr(0, nameStart) + "." + path.substr(nameStart) + ".XXXXXX";
  const int fd = mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) return {errno, false};
  TReplaceResult result;
  struct stat old {};
  if (keepOldMode && stat(path.c_str(), &old) == 0 && S_ISREG(old.st_mode)) mode = old.st_mode;
  if (fchmod(fd, mode & 07777) != 0) {
    result = {errno, false};
  } else if (const int error = WriteAllBytes(fd, bytes)) {
    result = {error, true};
  } else if (fsync(fd) != 0) {
    result = {errno, true};
  }
  if (close(fd) != 0 && result.error == 0) result = {errno, true};
  if (result.error == 0 && rename(temporary.c_str(), path.c_str()) != 0) result = {errno, false};
  if (result.error != 0) {
    unlink(temporary.c_str());
    return result;
  }
  // Makes the rename itself durable; the new file is complete whether or not this succeeds.
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, nameStart);
  const int folderFd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folderFd >= 0) {
    fsync(folderFd);
    close(folderFd);
  }
  return result;
}

}  // namespace dravik::platform
