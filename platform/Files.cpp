#include "Files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

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

}  // namespace dravik::platform
