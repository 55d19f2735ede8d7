#include "TcpBlockSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "KvText.h"

namespace dravik {

namespace {

// A peer that goes away while we write must not end the process; TLS writes go through
// write(2), which has no MSG_NOSIGNAL, so the signal is ignored process-wide once, when the
// first listener is made.
void IgnoreSigPipe() noexcept {
  static const bool ignored = [] {
    struct sigaction action {};
    action.sa_handler = SIG_IGN;
    sigemptyset(&action.sa_mask);
    return ::sigaction(SIGPIPE, &action, nullptr) == 0;
  }();
  (void)ignored;
}

}  // namespace

// ----- TTcpBlockSocket -----

TTcpBlockSocket::TTcpBlockSocket() { IgnoreSigPipe(); }

TTcpBlockSocket::~TTcpBlockSocket() { CloseSocket(); }

void TTcpBlockSocket::SetError(int code) {
  lastError_ = code;
  lastErrorDesc_ = code ? SysErrorMessage(code) : "";
}

void TTcpBlockSocket::ClearError() noexcept {
  lastError_ = 0;
  lastErrorDesc_.clear();
}

bool TTcpBlockSocket::CreateSocket() {
  CloseSocket();
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) {
    SetError(errno);
    return false;
  }
  std::lock_guard lock(handleLock_);
  handle_ = fd;
  ClearError();
  return true;
}

bool TTcpBlockSocket::SetLinger(bool enable, int milliseconds) {
  linger value{};
  value.l_onoff = enable ? 1 : 0;
  value.l_linger = std::max(0, (milliseconds + 999) / 1000);
  if (::setsockopt(handle_, SOL_SOCKET, SO_LINGER, &value, sizeof value) != 0) {
    SetError(errno);
    return false;
  }
  ClearError();
  return true;
}

bool TTcpBlockSocket::Bind(std::string_view host, std::int32_t port) {
  if (port < 1 || port > 65535) {
    SetError(EINVAL);
    return false;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  if (SameText(host, "localhost")) {
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  } else if (::inet_pton(AF_INET, std::string(host).c_str(), &address.sin_addr) != 1) {
    SetError(EINVAL);
    return false;
  }
  // A restart must not wait for old connections in TIME_WAIT; a second live listener on
  // the port still fails, as there is no SO_REUSEPORT.
  const int on = 1;
  if (::setsockopt(handle_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
      ::bind(handle_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    SetError(errno);
    return false;
  }
  ClearError();
  return true;
}

bool TTcpBlockSocket::Listen() {
  if (::listen(handle_, SOMAXCONN) != 0) {
    SetError(errno);
    return false;
  }
  ClearError();
  return true;
}

bool TTcpBlockSocket::SetNonBlocking() {
  const int flags = ::fcntl(handle_, F_GETFL);
  if (flags < 0 || ::fcntl(handle_, F_SETFL, flags | O_NONBLOCK) != 0) {
    SetError(errno);
    return false;
  }
  ClearError();
  return true;
}

std::int32_t TTcpBlockSocket::LocalPort() const {
  sockaddr_in address{};
  socklen_t size = sizeof address;
  if (::getsockname(handle_, reinterpret_cast<sockaddr*>(&address), &size) != 0) return 0;
  return ntohs(address.sin_port);
}

void TTcpBlockSocket::Shutdown() noexcept {
  std::lock_guard lock(handleLock_);
  if (handle_ >= 0) ::shutdown(handle_, SHUT_RDWR);
}

void TTcpBlockSocket::CloseSocket() noexcept {
  if (handle_ < 0) return;
  std::lock_guard lock(handleLock_);
  ::close(handle_);
  handle_ = -1;
}

}  // namespace dravik
