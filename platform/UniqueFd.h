// A file descriptor that closes itself.
#pragma once

#include <unistd.h>

#include <utility>

namespace dravik::platform {

class TUniqueFd {
 public:
  explicit TUniqueFd(int fd = -1) noexcept : fd_(fd) {}
  TUniqueFd(const TUniqueFd&) = delete;
  TUniqueFd& operator=(const TUniqueFd&) = delete;
  ~TUniqueFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const noexcept { return fd_; }
  int release() noexcept { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

}  // namespace dravik::platform
