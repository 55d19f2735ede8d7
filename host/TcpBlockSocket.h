// The listening TCP socket of a web server listener.
//
// The owner makes every call; Shutdown() alone may come from any other thread.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "KvObject.h"

namespace dravik {

class TTcpBlockSocket : public TKvObject {
 public:
  // A socket object without a socket yet (CreateSocket makes one).
  TTcpBlockSocket();
  TTcpBlockSocket(const TTcpBlockSocket&) = delete;
  TTcpBlockSocket& operator=(const TTcpBlockSocket&) = delete;
  ~TTcpBlockSocket() override;
  DRAVIK_CLASS_NAME(TTcpBlockSocket)

  int Handle() const noexcept { return handle_; }
  // The outcome of the last call: 0 for success, else an errno value.
  int LastError() const noexcept { return lastError_; }
  const std::string& LastErrorDesc() const noexcept { return lastErrorDesc_; }

  // Each returns true on success and sets LastError otherwise.
  bool CreateSocket();
  // SO_LINGER with the time rounded up to whole seconds.
  bool SetLinger(bool enable, int milliseconds);
  // Binds an IPv4 address ("localhost" is 127.0.0.1) with SO_REUSEADDR; a port outside
  // 1..65535 fails with EINVAL.
  bool Bind(std::string_view host, std::int32_t port);
  bool Listen();
  // Makes accept() return at once when no connection waits.
  bool SetNonBlocking();
  // The local port the socket is bound to; 0 when unknown.
  std::int32_t LocalPort() const;

  // Shuts both directions down; callable from any thread at any time.
  void Shutdown() noexcept;
  void CloseSocket() noexcept;

 private:
  void SetError(int code);
  void ClearError() noexcept;

  int handle_ = -1;
  std::mutex handleLock_;  // close versus Shutdown from another thread
  int lastError_ = 0;
  std::string lastErrorDesc_;
};

}  // namespace dravik
