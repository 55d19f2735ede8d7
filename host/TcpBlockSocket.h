// Blocking TCP sockets for the local web server, with a TLS variant on OpenSSL.
//
// Every call that waits is bounded: the listening socket waits with poll(), the data calls
// with the socket's own receive and send time-outs (SO_RCVTIMEO/SO_SNDTIMEO), which also
// bound the TLS handshake. A time-out starts again whenever a chunk of data arrives. Line
// reads (ended by CR LF only) and exact-length reads share one receive buffer, so a body
// that arrived together with the header lines is not lost.
//
// One thread owns a socket and makes all of its calls; Shutdown() alone may come from any
// other thread, to make the owner's blocked calls return.
#pragma once

#include <openssl/ssl.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "KvObject.h"

namespace dravik {

struct TSslConnectionSettings;

class TTcpBlockSocket : public TKvObject {
 public:
  // A socket object without a socket yet (CreateSocket makes one).
  TTcpBlockSocket();
  // Takes ownership of an accepted connection's descriptor.
  explicit TTcpBlockSocket(int handle);
  TTcpBlockSocket(const TTcpBlockSocket&) = delete;
  TTcpBlockSocket& operator=(const TTcpBlockSocket&) = delete;
  ~TTcpBlockSocket() override;
  DRAVIK_CLASS_NAME(TTcpBlockSocket)

  int Handle() const noexcept { return handle_; }
  // The outcome of the last call: 0 for success, else an errno value (ETIMEDOUT for a
  // time-out, ECONNRESET for a peer that closed, EMSGSIZE for a line over its limit) or,
  // after a failed TLS handshake, the OpenSSL error code.
  int LastError() const noexcept { return lastError_; }
  const std::string& LastErrorDesc() const noexcept { return lastErrorDesc_; }

  // The listening side. Each returns true on success and sets LastError otherwise.
  bool CreateSocket();
  // SO_LINGER with the time rounded up to whole seconds.
  bool SetLinger(bool enable, int milliseconds);
  // Binds an IPv4 address ("localhost" is 127.0.0.1) with SO_REUSEADDR; a port outside
  // 1..65535 fails with EINVAL.
  bool Bind(std::string_view host, std::int32_t port);
  bool Listen();
  // Waits up to timeoutMs for the socket to become readable; false on time-out or error.
  bool CanRead(int timeoutMs);
  // An accepted connection's close-on-exec descriptor, or -1.
  int Accept();
  // The local port the socket is bound to; 0 when unknown.
  std::int32_t LocalPort() const;

  // One line ended by CR LF (not part of the result); a lone LF does not end a line. A
  // line longer than maxLength bytes fails with EMSGSIZE. On failure the result is empty.
  std::string RecvLine(int timeoutMs, std::size_t maxLength);
  // Exactly `length` bytes; on failure the result holds the bytes that did arrive.
  std::string RecvExact(std::size_t length, int timeoutMs);
  // Sends all bytes, each chunk within timeoutMs.
  bool SendBytes(std::string_view bytes, int timeoutMs);

  // Shuts both directions down, so that blocked calls of the owner return; callable from
  // any thread at any time.
  void Shutdown() noexcept;
  void CloseSocket() noexcept;

 protected:
  // The transport under the buffer, replaced by the TLS variant. A result above 0 is the
  // number of bytes moved; 0 or below is a failure with LastError set.
  virtual long RawRecv(char* buffer, std::size_t size);
  virtual long RawSend(const char* data, std::size_t size);
  // Closes the TLS layer before the descriptor goes; the plain socket has none.
  virtual void CloseTransport() noexcept {}

  bool SetTimeouts(int timeoutMs);
  void SetError(int code);
  void SetError(int code, std::string desc);
  void ClearError() noexcept;

 private:
  // Appends whatever arrives within the time-out to the buffer.
  bool FillBuffer(int timeoutMs);
  std::size_t Buffered() const noexcept { return buffer_.size() - head_; }

  int handle_ = -1;
  std::mutex handleLock_;  // close versus Shutdown from another thread
  int timeoutMs_ = -1;     // the time-out now set on the socket; -1 for none set yet
  int lastError_ = 0;
  std::string lastErrorDesc_;
  std::string buffer_;
  std::size_t head_ = 0;  // bytes of buffer_ already consumed
};

// An accepted connection that speaks TLS as the server after SslAccept.
class TSslBlockSocket final : public TTcpBlockSocket {
 public:
  explicit TSslBlockSocket(int handle);
  ~TSslBlockSocket() override;
  DRAVIK_CLASS_NAME(TSslBlockSocket)

  // Builds the server context from the settings (CA file, certificate file, private key
  // file opened with the pass phrase; the peer is verified only with VerifyCert) and runs
  // the handshake, which must complete within the idle time-out per chunk of data. On
  // failure LastError is the OpenSSL error code and LastErrorDesc its text.
  bool SslAccept(const TSslConnectionSettings& settings, int timeoutMs);

 protected:
  long RawRecv(char* buffer, std::size_t size) override;
  long RawSend(const char* data, std::size_t size) override;
  void CloseTransport() noexcept override;

 private:
  struct TSslFree {
    void operator()(SSL* ssl) const noexcept { SSL_free(ssl); }
  };
  // Sets LastError from a failed TLS read or write and the errno it left.
  void SetSslIoError(int result, int sysError);

  std::unique_ptr<SSL, TSslFree> ssl_;
  bool fatal_ = false;  // a fatal TLS error forbids sending close_notify
};

}  // namespace dravik
