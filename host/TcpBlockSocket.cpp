#include "TcpBlockSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "KvText.h"
#include "U_InitSSL.h"

namespace dravik {

namespace {

constexpr std::size_t kRecvChunk = 16 * 1024;

// A peer that goes away while we write must not end the process; TLS writes go through
// write(2), which has no MSG_NOSIGNAL, so the signal is ignored process-wide once.
void IgnoreSigPipe() noexcept {
  static const bool ignored = [] {
    struct sigaction action {};
    action.sa_handler = SIG_IGN;
    sigemptyset(&action.sa_mask);
    return ::sigaction(SIGPIPE, &action, nullptr) == 0;
  }();
  (void)ignored;
}

// The texts of OpenSSL's error queue of this thread, oldest first, which empties it.
std::string TakeOpenSslErrors() {
  std::string text;
  while (const unsigned long code = ERR_get_error()) {
    char line[256];
    ERR_error_string_n(code, line, sizeof line);
    if (!text.empty()) text.append("; ");
    text.append(line);
  }
  return text;
}

struct TSslCtxFree {
  void operator()(SSL_CTX* ctx) const noexcept { SSL_CTX_free(ctx); }
};
using TSslCtxPtr = std::unique_ptr<SSL_CTX, TSslCtxFree>;
struct TBioFree {
  void operator()(BIO* bio) const noexcept { BIO_free(bio); }
};
struct TX509Free {
  void operator()(X509* cert) const noexcept { X509_free(cert); }
};

// Hands the key's pass phrase to OpenSSL; `userdata` is the settings' KeyPassword.
int PassPhraseCallback(char* buffer, int size, int /*rwflag*/, void* userdata) {
  if (!userdata || size <= 0) return 0;
  const auto* password = static_cast<const std::string*>(userdata);
  const int length = static_cast<int>(std::min<std::size_t>(password->size(), size));
  std::memcpy(buffer, password->data(), static_cast<std::size_t>(length));
  return length;
}

// Appends every certificate of a PEM file to the chain the server presents.
bool AddChainCertificates(SSL_CTX* ctx, const std::string& fileName) {
  std::unique_ptr<BIO, TBioFree> bio(BIO_new_file(fileName.c_str(), "r"));
  if (!bio) return false;
  int added = 0;
  for (;;) {
    std::unique_ptr<X509, TX509Free> cert(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    if (!cert) break;
    if (SSL_CTX_add1_chain_cert(ctx, cert.get()) != 1) return false;
    ++added;
  }
  // The loop ends on the "no start line" at the file's end, which is no error.
  ERR_clear_error();
  return added > 0;
}

// The server context for one connection, or null with OpenSSL's queue holding the cause.
TSslCtxPtr MakeServerContext(const TSslConnectionSettings& settings) {
  TSslCtxPtr ctx(SSL_CTX_new(TLS_server_method()));
  if (!ctx) return nullptr;
  SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
  SSL_CTX_set_default_passwd_cb(ctx.get(), PassPhraseCallback);
  SSL_CTX_set_default_passwd_cb_userdata(ctx.get(),
                                         const_cast<std::string*>(&settings.KeyPassword));
  bool ok = SSL_CTX_use_certificate_chain_file(ctx.get(), settings.CertificateFile.c_str()) == 1;
  if (ok && !settings.CertCAFile.empty()) {
    ok = SSL_CTX_load_verify_locations(ctx.get(), settings.CertCAFile.c_str(), nullptr) == 1 &&
         AddChainCertificates(ctx.get(), settings.CertCAFile);
  }
  ok = ok &&
       SSL_CTX_use_PrivateKey_file(ctx.get(), settings.PrivateKeyFile.c_str(), SSL_FILETYPE_PEM) ==
           1 &&
       SSL_CTX_check_private_key(ctx.get()) == 1;
  // The pass phrase is needed only while the key is read; the context must not point at it.
  SSL_CTX_set_default_passwd_cb_userdata(ctx.get(), nullptr);
  if (!ok) return nullptr;
  SSL_CTX_set_verify(ctx.get(), settings.VerifyCert ? SSL_VERIFY_PEER : SSL_VERIFY_NONE, nullptr);
  return ctx;
}

}  // namespace

// ----- TTcpBlockSocket -----

TTcpBlockSocket::TTcpBlockSocket() { IgnoreSigPipe(); }

TTcpBlockSocket::TTcpBlockSocket(int handle) : handle_(handle) { IgnoreSigPipe(); }

TTcpBlockSocket::~TTcpBlockSocket() { CloseSocket(); }

void TTcpBlockSocket::SetError(int code) { SetError(code, code ? SysErrorMessage(code) : ""); }

void TTcpBlockSocket::SetError(int code, std::string desc) {
  lastError_ = code;
  lastErrorDesc_ = std::move(desc);
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

bool TTcpBlockSocket::CanRead(int timeoutMs) {
  pollfd entry{handle_, POLLIN, 0};
  for (;;) {
    const int result = ::poll(&entry, 1, timeoutMs);
    if (result > 0) {
      ClearError();
      return (entry.revents & (POLLIN | POLLERR | POLLHUP)) != 0;
    }
    if (result == 0) {
      SetError(ETIMEDOUT);
      return false;
    }
    if (errno != EINTR) {
      SetError(errno);
      return false;
    }
  }
}

int TTcpBlockSocket::Accept() {
  for (;;) {
    const int fd = ::accept4(handle_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
      ClearError();
      return fd;
    }
    if (errno != EINTR) {
      SetError(errno);
      return -1;
    }
  }
}

std::int32_t TTcpBlockSocket::LocalPort() const {
  sockaddr_in address{};
  socklen_t size = sizeof address;
  if (::getsockname(handle_, reinterpret_cast<sockaddr*>(&address), &size) != 0) return 0;
  return ntohs(address.sin_port);
}

bool TTcpBlockSocket::SetTimeouts(int timeoutMs) {
  if (timeoutMs == timeoutMs_) return true;
  timeval value{};
  if (timeoutMs > 0) {
    value.tv_sec = timeoutMs / 1000;
    value.tv_usec = static_cast<suseconds_t>(timeoutMs % 1000) * 1000;
  }
  if (::setsockopt(handle_, SOL_SOCKET, SO_RCVTIMEO, &value, sizeof value) != 0 ||
      ::setsockopt(handle_, SOL_SOCKET, SO_SNDTIMEO, &value, sizeof value) != 0) {
    SetError(errno);
    return false;
  }
  timeoutMs_ = timeoutMs;
  return true;
}

long TTcpBlockSocket::RawRecv(char* buffer, std::size_t size) {
  for (;;) {
    const ssize_t result = ::recv(handle_, buffer, size, 0);
    if (result > 0) return static_cast<long>(result);
    if (result == 0) {
      SetError(ECONNRESET);
      return 0;
    }
    if (errno == EINTR) continue;
    SetError(errno == EAGAIN || errno == EWOULDBLOCK ? ETIMEDOUT : errno);
    return -1;
  }
}

long TTcpBlockSocket::RawSend(const char* data, std::size_t size) {
  for (;;) {
    const ssize_t result = ::send(handle_, data, size, MSG_NOSIGNAL);
    if (result > 0) return static_cast<long>(result);
    if (result < 0 && errno == EINTR) continue;
    SetError(result == 0 ? ECONNRESET
                         : (errno == EAGAIN || errno == EWOULDBLOCK ? ETIMEDOUT : errno));
    return -1;
  }
}

bool TTcpBlockSocket::FillBuffer(int timeoutMs) {
  if (!SetTimeouts(timeoutMs)) return false;
  if (head_ > 0 && head_ == buffer_.size()) {
    buffer_.clear();
    head_ = 0;
  } else if (head_ >= kRecvChunk) {
    buffer_.erase(0, head_);
    head_ = 0;
  }
  const std::size_t oldSize = buffer_.size();
  buffer_.resize(oldSize + kRecvChunk);
  const long received = RawRecv(buffer_.data() + oldSize, kRecvChunk);
  buffer_.resize(oldSize + static_cast<std::size_t>(std::max(0L, received)));
  return received > 0;
}

std::string TTcpBlockSocket::RecvLine(int timeoutMs, std::size_t maxLength) {
  std::size_t scanFrom = head_;
  for (;;) {
    const std::size_t end = buffer_.find("\r\n", scanFrom);
    if (end != std::string::npos) {
      const std::size_t length = end - head_;
      if (length > maxLength) break;
      std::string line = buffer_.substr(head_, length);
      head_ = end + 2;
      ClearError();
      return line;
    }
    // A full-length line may still be followed by its CR LF, hence the + 1.
    if (Buffered() > maxLength + 1) break;
    // The CR of a CR LF split between two chunks is searched again.
    const std::size_t offset = Buffered() > 0 ? Buffered() - 1 : 0;
    if (!FillBuffer(timeoutMs)) return {};
    scanFrom = head_ + offset;
  }
  SetError(EMSGSIZE);
  return {};
}

std::string TTcpBlockSocket::RecvExact(std::size_t length, int timeoutMs) {
  const std::size_t fromBuffer = std::min(length, Buffered());
  std::string data = buffer_.substr(head_, fromBuffer);
  head_ += fromBuffer;
  ClearError();
  if (data.size() < length && !SetTimeouts(timeoutMs)) return data;
  // The text grows with what arrives, so a large announced length costs nothing until
  // the bytes are really there.
  while (data.size() < length) {
    const std::size_t chunk = std::min(length - data.size(), 4 * kRecvChunk);
    const std::size_t oldSize = data.size();
    data.resize(oldSize + chunk);
    const long received = RawRecv(data.data() + oldSize, chunk);
    data.resize(oldSize + static_cast<std::size_t>(std::max(0L, received)));
    if (received <= 0) return data;
  }
  return data;
}

bool TTcpBlockSocket::SendBytes(std::string_view bytes, int timeoutMs) {
  ClearError();
  if (bytes.empty()) return true;
  if (!SetTimeouts(timeoutMs)) return false;
  while (!bytes.empty()) {
    const long sent = RawSend(bytes.data(), bytes.size());
    if (sent <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(sent));
  }
  return true;
}

void TTcpBlockSocket::Shutdown() noexcept {
  std::lock_guard lock(handleLock_);
  if (handle_ >= 0) ::shutdown(handle_, SHUT_RDWR);
}

void TTcpBlockSocket::CloseSocket() noexcept {
  if (handle_ < 0) return;
  CloseTransport();
  std::lock_guard lock(handleLock_);
  ::close(handle_);
  handle_ = -1;
  timeoutMs_ = -1;
}

// ----- TSslBlockSocket -----

TSslBlockSocket::TSslBlockSocket(int handle) : TTcpBlockSocket(handle) {}

TSslBlockSocket::~TSslBlockSocket() { CloseSocket(); }

bool TSslBlockSocket::SslAccept(const TSslConnectionSettings& settings, int timeoutMs) {
  ERR_clear_error();
  ssl_.reset();
  fatal_ = false;
  TSslCtxPtr ctx = MakeServerContext(settings);
  if (ctx) ssl_.reset(SSL_new(ctx.get()));
  if (!ssl_ || SSL_set_fd(ssl_.get(), Handle()) != 1) {
    ssl_.reset();
    SetError(SSL_ERROR_SSL, TakeOpenSslErrors());
    return false;
  }
  if (!SetTimeouts(timeoutMs)) return false;
  errno = 0;
  const int result = SSL_accept(ssl_.get());
  const int sysError = errno;
  if (result == 1) {
    ClearError();
    return true;
  }
  const int code = SSL_get_error(ssl_.get(), result);
  std::string desc = TakeOpenSslErrors();
  if (desc.empty()) {
    if (code == SSL_ERROR_WANT_READ || code == SSL_ERROR_WANT_WRITE)
      desc = SysErrorMessage(ETIMEDOUT);
    else if (code == SSL_ERROR_SYSCALL)
      desc = result == 0 || sysError == 0 ? "Connection closed by peer" : SysErrorMessage(sysError);
  }
  fatal_ = code == SSL_ERROR_SYSCALL || code == SSL_ERROR_SSL;
  SetError(code, std::move(desc));
  return false;
}

void TSslBlockSocket::SetSslIoError(int result, int sysError) {
  const int code = SSL_get_error(ssl_.get(), result);
  const std::string queue = TakeOpenSslErrors();
  switch (code) {
    case SSL_ERROR_ZERO_RETURN:
      SetError(ECONNRESET);
      break;
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE:
      SetError(ETIMEDOUT);
      break;
    case SSL_ERROR_SYSCALL:
      fatal_ = true;
      SetError(sysError ? sysError : ECONNRESET);
      break;
    default:
      fatal_ = true;
      SetError(EPROTO, queue.empty() ? SysErrorMessage(EPROTO) : queue);
      break;
  }
}

long TSslBlockSocket::RawRecv(char* buffer, std::size_t size) {
  if (!ssl_) return TTcpBlockSocket::RawRecv(buffer, size);
  errno = 0;
  const int result =
      SSL_read(ssl_.get(), buffer, static_cast<int>(std::min<std::size_t>(size, INT_MAX)));
  const int sysError = errno;
  if (result > 0) return result;
  SetSslIoError(result, sysError);
  return result < 0 ? -1 : 0;
}

long TSslBlockSocket::RawSend(const char* data, std::size_t size) {
  if (!ssl_) return TTcpBlockSocket::RawSend(data, size);
  errno = 0;
  const int result =
      SSL_write(ssl_.get(), data, static_cast<int>(std::min<std::size_t>(size, INT_MAX)));
  const int sysError = errno;
  if (result > 0) return result;
  SetSslIoError(result, sysError);
  return -1;
}

void TSslBlockSocket::CloseTransport() noexcept {
  if (!ssl_) return;
  // close_notify tells the client the reply is complete; not after a fatal error, where
  // OpenSSL forbids it.
  if (!fatal_ && SSL_is_init_finished(ssl_.get())) SSL_shutdown(ssl_.get());
  ssl_.reset();
  ERR_clear_error();
}

}  // namespace dravik
