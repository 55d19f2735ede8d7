// Raw loopback sockets for tests that speak bytes to a listener.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

namespace dravik::testing {

// A file descriptor that closes itself.
class TFd {
 public:
  explicit TFd(int fd = -1) : fd_(fd) {}
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
  ~TFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int Get() const { return fd_; }

 private:
  int fd_;
};

inline sockaddr_in Loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// A port the kernel has just handed out as free; 0 when none could be had.
inline int FreePort() {
  TFd probe(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address = Loopback(0);
  socklen_t size = sizeof address;
  if (::bind(probe.Get(), reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      ::getsockname(probe.Get(), reinterpret_cast<sockaddr*>(&address), &size) != 0)
    return 0;
  return ntohs(address.sin_port);
}

}  // namespace dravik::testing
