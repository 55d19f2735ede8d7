// The connection (ThttpThread) as a state machine: its socket, the reading of one request on
// its loop (request line, header lines, body, within the bounds of the module), the budget
// of body bytes in flight, the worker's part that serves the request, and the writing of the
// reply as the socket takes it, the end of the transport and the lingering close. Touches only its
// own connection and the shared count of body bytes; the reply's bytes are made by SendReply, in
// the module.
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <exception>

#include "KvSysTools.h"
#include "KvText.h"
#include "U_LogFile.h"
#include "U_WebServer.h"
#include "net/Timeouts.h"

namespace dravik {

namespace {

constexpr std::size_t kReadChunk = 64 * 1024;

// The text up to the first blank, trimmed; the rest after it, trimmed, stays in `rest`.
std::string FetchRequestToken(std::string& rest) {
  const std::size_t blank = rest.find(' ');
  std::string token;
  if (blank == std::string::npos) {
    token = Trim(rest);
    rest.clear();
  } else {
    token = Trim(std::string_view(rest).substr(0, blank));
    rest = Trim(std::string_view(rest).substr(blank + 1));
  }
  return token;
}

// The bytes of request bodies held across all connections.
constinit std::atomic<std::int64_t> gBodyBytesInFlight{0};

bool ReserveBodyBytes(std::int64_t bytes) noexcept {
  if (gBodyBytesInFlight.fetch_add(bytes, std::memory_order_relaxed) + bytes <=
      MaxBodyBytesInFlight())
    return true;
  gBodyBytesInFlight.fetch_sub(bytes, std::memory_order_relaxed);
  return false;
}

}  // namespace

ThttpThread::ThttpThread(int handle, TDaemonSettings& settings)
    : handle_(handle), settings_(&settings) {}

ThttpThread::~ThttpThread() {
  CloseConnection(false);
  ReleaseBody();
}

void ThttpThread::CloseConnection(bool orderly) noexcept {
  if (handle_ < 0) return;
  CloseTransport(orderly);
  std::lock_guard lock(handleLock_);
  ::close(handle_);
  handle_ = -1;
}

void ThttpThread::ShutdownSocket() noexcept {
  std::lock_guard lock(handleLock_);
  if (handle_ >= 0) ::shutdown(handle_, SHUT_RDWR);
}

void ThttpThread::ReleaseBody() noexcept {
  std::string().swap(requestData_);
  if (bodyBudget_ > 0) gBodyBytesInFlight.fetch_sub(bodyBudget_, std::memory_order_relaxed);
  bodyBudget_ = 0;
}

std::size_t ThttpThread::Receive(char* buffer, std::size_t size, TIo& io) {
  for (;;) {
    const ssize_t count = ::recv(handle_, buffer, size, 0);
    if (count > 0) {
      io = TIo::Done;
      return static_cast<std::size_t>(count);
    }
    if (count < 0 && errno == EINTR) continue;
    io = count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) ? TIo::WantRead : TIo::Failed;
    return 0;
  }
}

std::size_t ThttpThread::Send(std::string_view bytes, TIo& io, int& error, std::string& desc) {
  for (;;) {
    const ssize_t sent = ::send(handle_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent > 0) {
      io = TIo::Done;
      return static_cast<std::size_t>(sent);
    }
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      io = TIo::WantWrite;
      return 0;
    }
    error = sent < 0 ? errno : EPIPE;
    desc = SysErrorMessage(error);
    io = TIo::Failed;
    return 0;
  }
}

bool ThttpThread::OnReadable() {
  wanted_ = EPOLLIN;
  if (phase_ == TPhase::Handshake) {
    switch (Handshake()) {
      case TIo::Done:
        phase_ = TPhase::RequestLine;
        break;
      case TIo::WantRead:
        wanted_ = EPOLLIN;
        return true;
      case TIo::WantWrite:
        wanted_ = EPOLLOUT;
        return true;
      case TIo::Failed:
        return false;
    }
  }
  char chunk[16 * 1024];
  for (;;) {
    TIo io = TIo::Done;
    std::size_t count;
    if (phase_ == TPhase::Body) {
      // The body goes straight into its own buffer, reserved at its announced length.
      const std::size_t have = requestData_.size();
      const std::size_t room = std::min(bodyLength_ - have, kReadChunk);
      requestData_.resize(have + room);
      count = Receive(requestData_.data() + have, room, io);
      requestData_.resize(have + count);
    } else {
      count = Receive(chunk, sizeof chunk, io);
      if (count > 0) input_.append(chunk, count);
    }
    if (count == 0) {
      if (io == TIo::WantRead || io == TIo::WantWrite) {
        wanted_ = io == TIo::WantWrite ? EPOLLOUT : EPOLLIN;
        return true;
      }
      return false;  // the peer closed or the socket failed: no reply
    }
    bool complete = false;
    if (!ParseRequest(complete)) return false;
    if (complete) {
      phase_ = TPhase::Dispatch;
      return true;
    }
  }
}

bool ThttpThread::TakeLine(std::string& line, bool& failed) {
  failed = false;
  const std::size_t end = input_.find("\r\n", std::max(lineScan_, inputHead_));
  if (end == std::string::npos) {
    // A line over the limit fails as soon as it is certain, without waiting for its end.
    const std::size_t pending = input_.size() - inputHead_;
    const bool mayEndWithCr = !input_.empty() && input_.back() == '\r';
    if (pending > kMaxRequestLineLength + 1 ||
        (pending == kMaxRequestLineLength + 1 && !mayEndWithCr))
      failed = true;
    lineScan_ = input_.empty() ? 0 : input_.size() - 1;
    return false;
  }
  if (end - inputHead_ > kMaxRequestLineLength) {
    failed = true;
    return false;
  }
  line.assign(input_, inputHead_, end - inputHead_);
  inputHead_ = end + 2;
  lineScan_ = inputHead_;
  return true;
}

bool ThttpThread::ParseRequest(bool& complete) {
  complete = false;
  std::string line;
  bool failed = false;
  while (phase_ == TPhase::RequestLine || phase_ == TPhase::Headers) {
    if (!TakeLine(line, failed)) return !failed;
    if (phase_ == TPhase::RequestLine) {
      if (line.empty()) return false;
      method_ = FetchRequestToken(line);
      if (method_.empty() || line.empty()) return false;
      uri_ = FetchRequestToken(line);
      if (uri_.empty()) return false;
      protocol_ = FetchRequestToken(line);
      if (LogEnabled()) {
        WriteLog(this, "Variables:", 3,
                 "Method=" + method_ + "\r\nURI=" + uri_ + "\r\nProtocol=" + protocol_);
      }
      headers_.Clear();
      if (protocol_.empty()) return StartBody(complete);
      if (!protocol_.starts_with("HTTP/")) return false;
      phase_ = TPhase::Headers;
      continue;
    }
    if (!line.empty()) {
      if (headers_.Count() >= kMaxHeaderLines) return false;
      headers_.Add(std::move(line));
      line = std::string();
      continue;
    }
    if (LogEnabled()) WriteLog(this, "Headers:", 3, JoinLines(headers_));
    return StartBody(complete);
  }
  if (phase_ == TPhase::Body && requestData_.size() == bodyLength_) {
    WriteLog(this, "Data:", 3, requestData_);
    complete = true;
  }
  return true;
}

bool ThttpThread::StartBody(bool& complete) {
  requestData_.clear();
  std::int32_t length = -1;
  if (!TryParseInt(GetHeaderValue("CONTENT-LENGTH", headers_), length)) length = -1;
  if (length < 0) {
    complete = true;
    std::string().swap(input_);
    return true;
  }
  if (length > kMaxRequestBodyLength) return false;
  if (length > 0 && !ReserveBodyBytes(length)) {
    WriteLog(this, "Request body refused: " + IntToText(length), 0);
    return false;
  }
  bodyBudget_ = length;
  bodyLength_ = static_cast<std::size_t>(length);
  requestData_.reserve(bodyLength_);
  const std::size_t buffered = std::min(input_.size() - inputHead_, bodyLength_);
  requestData_.append(input_, inputHead_, buffered);
  // Bytes after the body are not part of the request.
  std::string().swap(input_);
  inputHead_ = lineScan_ = 0;
  phase_ = TPhase::Body;
  if (requestData_.size() == bodyLength_) {
    WriteLog(this, "Data:", 3, requestData_);
    complete = true;
  }
  return true;
}

void ThttpThread::Serve() noexcept {
  try {
    const std::int32_t status = ProcessRequest(method_, uri_);
    ReleaseBody();
    SendReply(status);
    return;
  } catch (const std::exception& error) {
    LogException(this, "ThttpThread.Execute", error);
  } catch (...) {
  }
  if (phase_ != TPhase::Dispatch) {
    Abort();  // a reply begun and not finished must not look whole
    return;
  }
  // No reply: the connection still ends as after one.
  std::string().swap(replyHead_);
  std::string().swap(replyData_);
  phase_ = TPhase::Closing;
  bool progressed = false;
  if (!OnWritable(progressed)) phase_ = TPhase::Dispatch;
}

bool ThttpThread::OnWritable(bool& progressed) {
  progressed = false;
  wanted_ = EPOLLOUT;
  while (phase_ == TPhase::Reply) {
    const std::size_t headSize = replyHead_.size();
    const std::size_t total = headSize + (bodyApart_ ? replyData_.size() : 0);
    if (replySent_ >= total) {
      WriteLog(this, "Reply: SendReply done.", 3);
      std::string().swap(replyHead_);
      std::string().swap(replyData_);
      headers_.Clear();
      phase_ = TPhase::Closing;
      break;
    }
    // The retry of a write that found the socket full is the same write, as TLS requires:
    // the same bytes from the same place, of the same length.
    const std::string_view rest = replySent_ < headSize
                                      ? std::string_view(replyHead_).substr(replySent_)
                                      : std::string_view(replyData_).substr(replySent_ - headSize);
    TIo io = TIo::Done;
    int error = 0;
    std::string desc;
    const std::size_t sent = Send(rest, io, error, desc);
    if (sent > 0) {
      replySent_ += sent;
      progressed = true;
      continue;
    }
    if (io == TIo::Failed) {
      WriteLog(this, "Error while sending reply (" + IntToText(error) + ")", 0, desc);
      Abort();
      return false;
    }
    wanted_ = io == TIo::WantRead ? EPOLLIN : EPOLLOUT;
    return true;
  }
  if (phase_ == TPhase::Closing) {
    switch (SendCloseNotify()) {
      case TIo::Done:
        break;
      case TIo::WantRead:
      case TIo::WantWrite:
        return true;  // the socket is full: on when it drains
      case TIo::Failed:
        return false;
    }
    ::shutdown(handle_, SHUT_WR);
    CloseTransport(false);  // nothing more goes through it
    phase_ = TPhase::Linger;
    lingerEnd_ = NowMs() + kLingerTotalMs;
  }
  if (phase_ != TPhase::Linger) return false;
  // What the client still sends is read and dropped until it closes its side.
  wanted_ = EPOLLIN;
  char chunk[16 * 1024];
  for (;;) {
    const ssize_t count = ::recv(handle_, chunk, sizeof chunk, 0);
    if (count > 0) {
      progressed = true;
      lingerBytes_ += static_cast<std::size_t>(count);
      if (lingerBytes_ > kLingerMaxBytes) return false;
      continue;
    }
    if (count < 0 && errno == EINTR) continue;
    return count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
  }
}

void ThttpThread::ReplyTimedOut() noexcept {
  if (phase_ == TPhase::Reply) {
    try {
      WriteLog(this, "Error while sending reply (" + IntToText(ETIMEDOUT) + ")", 0,
               SysErrorMessage(ETIMEDOUT));
    } catch (...) {
    }
  }
  if (phase_ != TPhase::Linger) Abort();
}

void ThttpThread::Abort() noexcept {
  // Unsent bytes are dropped and the client sees a reset, never a reply that looks whole.
  static constexpr linger kReset{1, 0};
  ::setsockopt(handle_, SOL_SOCKET, SO_LINGER, &kReset, sizeof kReset);
  phase_ = TPhase::Dispatch;  // nothing more to write; the close sends no close_notify
}

}  // namespace dravik
