// The HTTPS connection (TsslThread): its TLS session on the connection's socket, the
// non-blocking handshake, reads and non-blocking writes over TLS, and close_notify after a
// reply.
// Touches only its own connection and the shared TLS context it holds.
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <exception>

#include "KvSysTools.h"
#include "KvText.h"
#include "ServerTls.h"
#include "U_InitSSL.h"
#include "U_LogFile.h"
#include "U_WebServer.h"

namespace dravik {

TsslThread::TsslThread(int handle, TDaemonSettings& settings) : ThttpThread(handle, settings) {}

TsslThread::~TsslThread() { CloseConnection(); }

void TsslThread::LogAcceptError(int code, std::string desc) {
  WriteLog(this, "Error while accepting SSL connection (" + IntToText(code) + ")", 0, desc);
}

bool TsslThread::OpenTransport() {
  WriteLog(this, "Accepting SSL connection ...", 2);
  try {
    TSslConnectionSettings settings;
    InitSSLConnection(settings);
    std::string error;
    ctx_ = AcquireServerContext(settings, error);
    if (ctx_) ssl_ = SSL_new(ctx_.get());
    if (!ssl_ || SSL_set_fd(ssl_, Handle()) != 1) {
      if (error.empty()) error = TakeOpenSslErrors();
      LogAcceptError(SSL_ERROR_SSL, std::move(error));
      return false;
    }
    SSL_set_accept_state(ssl_);
    // A reply is written as the socket takes it: each record that went counts, and the
    // retry of a write that found the socket full may come from a moved buffer.
    SSL_set_mode(ssl_, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    return true;
  } catch (const std::exception& error) {
    LogException(this, "Accepting SSL connection", error);
  }
  return false;
}

ThttpThread::TIo TsslThread::Handshake() {
  ERR_clear_error();
  errno = 0;
  const int result = SSL_do_handshake(ssl_);
  const int sysError = errno;
  if (result == 1) return TIo::Done;
  const int code = SSL_get_error(ssl_, result);
  if (code == SSL_ERROR_WANT_READ) return TIo::WantRead;
  if (code == SSL_ERROR_WANT_WRITE) return TIo::WantWrite;
  std::string desc = TakeOpenSslErrors();
  if (desc.empty() && code == SSL_ERROR_SYSCALL)
    desc = result == 0 || sysError == 0 ? "Connection closed by peer" : SysErrorMessage(sysError);
  fatal_ = code == SSL_ERROR_SYSCALL || code == SSL_ERROR_SSL;
  LogAcceptError(code, std::move(desc));
  return TIo::Failed;
}

void TsslThread::HandshakeTimedOut() {
  LogAcceptError(SSL_ERROR_WANT_READ, SysErrorMessage(ETIMEDOUT));
}

std::size_t TsslThread::Receive(char* buffer, std::size_t size, TIo& io) {
  ERR_clear_error();
  const int result = SSL_read(ssl_, buffer, static_cast<int>(std::min<std::size_t>(size, INT_MAX)));
  if (result > 0) {
    io = TIo::Done;
    return static_cast<std::size_t>(result);
  }
  const int code = SSL_get_error(ssl_, result);
  if (code == SSL_ERROR_WANT_READ)
    io = TIo::WantRead;
  else if (code == SSL_ERROR_WANT_WRITE)
    io = TIo::WantWrite;
  else {
    fatal_ = code != SSL_ERROR_ZERO_RETURN;
    io = TIo::Failed;
  }
  ERR_clear_error();
  return 0;
}

std::size_t TsslThread::Send(std::string_view bytes, TIo& io, int& error, std::string& desc) {
  ERR_clear_error();
  errno = 0;
  const int result =
      SSL_write(ssl_, bytes.data(), static_cast<int>(std::min<std::size_t>(bytes.size(), INT_MAX)));
  const int sysError = errno;
  if (result > 0) {
    io = TIo::Done;
    return static_cast<std::size_t>(result);
  }
  const int code = SSL_get_error(ssl_, result);
  if (code == SSL_ERROR_WANT_READ || code == SSL_ERROR_WANT_WRITE) {
    io = code == SSL_ERROR_WANT_READ ? TIo::WantRead : TIo::WantWrite;
    return 0;
  }
  fatal_ = true;
  io = TIo::Failed;
  if (code == SSL_ERROR_SYSCALL) {
    error = sysError ? sysError : ECONNRESET;
    desc = SysErrorMessage(error);
  } else {
    error = EPROTO;
    desc = TakeOpenSslErrors();
    if (desc.empty()) desc = SysErrorMessage(EPROTO);
  }
  ERR_clear_error();
  return 0;
}

ThttpThread::TIo TsslThread::SendCloseNotify() {
  if (fatal_ || !SSL_is_init_finished(ssl_)) return TIo::Done;
  ERR_clear_error();
  // Sent once; the call again after a full socket only flushes it.
  const int result = SSL_shutdown(ssl_);
  TIo io = TIo::Done;
  if (result < 0) {
    const int code = SSL_get_error(ssl_, result);
    if (code == SSL_ERROR_WANT_WRITE) {
      io = TIo::WantWrite;
    } else if (code != SSL_ERROR_WANT_READ) {
      fatal_ = true;
      io = TIo::Failed;
    }
  }
  ERR_clear_error();
  return io;
}

void TsslThread::CloseTransport() noexcept {
  if (!ssl_) return;
  // After a reply its close_notify has gone already (SendCloseNotify); any other close sends
  // none.
  SSL_free(ssl_);
  ssl_ = nullptr;
  ctx_.reset();
  ERR_clear_error();
}

}  // namespace dravik
