// The connection (ThttpThread) as a state machine: its socket, the reading of one request on
// its loop (request line, header lines, body, within the bounds of the module), the count of
// request bytes in flight, the worker's part that serves the request, and the writing of the
// reply as the socket takes it, the end of the transport and the lingering close. Touches only
// its own connection and the shared count of request bytes; the reply's bytes are made by
// SendReply, in the module.
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <exception>

#include "DomainList.h"
#include "KvSysTools.h"
#include "KvText.h"
#include "U_LogFile.h"
#include "U_WebServer.h"
#include "net/RequestBody.h"
#include "net/Timeouts.h"

namespace dravik {

namespace {

constexpr std::size_t kReadChunk = 64 * 1024;
// A body up to this length grows in one string; a longer one in mapped blocks.
constexpr std::size_t kSmallBodyLength = 64 * 1024;

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

// The bytes of requests received and not yet answered, across all connections.
constinit std::atomic<std::int64_t> gBytesInFlight{0};

// Sets a request's count to `bytes`; false, with the count unchanged, when a rise would pass
// the bound.
bool HoldBytes(std::int64_t& held, std::int64_t bytes) noexcept {
  const std::int64_t rise = bytes - held;
  if (rise > 0) {
    // The count rises only when the result fits: a refused rise never shows, even for a
    // moment, to a request that checks the bound meanwhile.
    const std::int64_t bound = MaxBodyBytesInFlight();
    std::int64_t now = gBytesInFlight.load(std::memory_order_relaxed);
    do {
      if (now + rise > bound) return false;
    } while (!gBytesInFlight.compare_exchange_weak(now, now + rise, std::memory_order_relaxed));
  } else if (rise < 0) {
    gBytesInFlight.fetch_sub(-rise, std::memory_order_relaxed);
  }
  held = bytes;
  return true;
}

// Whether a request holding `held` would stay within the bound holding `bytes`, as things are.
bool BytesFit(std::int64_t held, std::int64_t bytes) noexcept {
  return gBytesInFlight.load(std::memory_order_relaxed) - held + bytes <= MaxBodyBytesInFlight();
}

// A reply that could not be sent, the errno value in the text and its description as the detail.
void LogSendFailure(const TKvObject* sender, int error, const std::string& desc) {
  WriteLog(sender, "Error while sending reply (" + IntToText(error) + ")", 0, desc);
}

// A body that would pass the bound on request bytes in flight, with its announced length.
void LogBodyRefused(const TKvObject* sender, std::size_t length) {
  WriteLog(sender, "Request body refused: " + IntToText(static_cast<std::int64_t>(length)), 0);
}

// A request too large to be held: logged as a failed allocation is.
void LogOutOfMemory(const TKvObject* sender) noexcept {
  try {
    LogException(sender, "ThttpThread.Execute", EOutOfMemory("Out of memory"));
  } catch (...) {
  }
}

}  // namespace

ThttpThread::ThttpThread(int handle, TDaemonSettings& settings)
    : handle_(handle), settings_(&settings) {}

ThttpThread::~ThttpThread() {
  CloseConnection();
  ReleaseBody();
}

void ThttpThread::CloseConnection() noexcept {
  if (handle_ < 0) return;
  CloseTransport();
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
  std::string().swap(input_);
  bodyBlocks_.reset();
  HoldBytes(heldBytes_, 0);
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
      if (!ReceiveBody(io, count)) return false;
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
    // The bytes of a header block that has not ended yet are held as they are.
    if (!complete && (phase_ == TPhase::RequestLine || phase_ == TPhase::Headers) &&
        !HoldBytes(heldBytes_, static_cast<std::int64_t>(input_.size()))) {
      LogOutOfMemory(this);
      return false;
    }
    if (complete) {
      phase_ = TPhase::Dispatch;
      return true;
    }
  }
}

bool ThttpThread::TakeLine(std::string& line, bool& failed) {
  failed = false;
  // input_ begins with the request line, so its offsets count the header block's bytes.
  const std::size_t end = input_.find("\r\n", std::max(lineScan_, inputHead_));
  if (end == std::string::npos) {
    // A header block over the limit fails as soon as it is certain, without waiting for
    // the end of its line.
    const bool mayEndWithCr = !input_.empty() && input_.back() == '\r';
    if (input_.size() + (mayEndWithCr ? 1 : 2) > kMaxHeaderBlockLength) failed = true;
    lineScan_ = input_.empty() ? 0 : input_.size() - 1;
    return false;
  }
  if (end + 2 > kMaxHeaderBlockLength) {
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
    if (!TakeLine(line, failed)) {
      if (failed) LogOutOfMemory(this);
      return !failed;
    }
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
      if (headers_.Count() >= kMaxHeaderLines) {
        LogOutOfMemory(this);
        return false;
      }
      headers_.Add(std::move(line));
      line = std::string();
      continue;
    }
    if (LogEnabled()) WriteLog(this, "Headers:", 3, JoinLines(headers_));
    return StartBody(complete);
  }
  if (phase_ == TPhase::Body &&
      requestData_.size() + (bodyBlocks_ ? bodyBlocks_->Size() : 0) == bodyLength_) {
    if (bodyBlocks_) {
      bodyBlocks_->MoveTo(requestData_);
      bodyBlocks_.reset();
    }
    WriteLog(this, "Data:", 3, requestData_);
    complete = true;
  }
  return true;
}

bool ThttpThread::StartBody(bool& complete) {
  requestData_.clear();
  const auto headerBytes = static_cast<std::int64_t>(inputHead_);
  std::int32_t length = -1;
  if (!TryParseInt(GetHeaderValue("CONTENT-LENGTH", headers_), length)) length = -1;
  if (length < 0) {
    complete = true;
    std::string().swap(input_);
    if (HoldBytes(heldBytes_, headerBytes)) return true;
    LogOutOfMemory(this);
    return false;
  }
  if (length > kMaxRequestBodyLength) {
    LogOutOfMemory(this);
    return false;
  }
  bodyLength_ = static_cast<std::size_t>(length);
  const std::size_t buffered = std::min(input_.size() - inputHead_, bodyLength_);
  // A body that cannot fit beside what the other requests hold now is refused before it is
  // read; the bound is kept as its bytes arrive (ReceiveBody).
  if (!HoldBytes(heldBytes_, headerBytes + static_cast<std::int64_t>(buffered)) ||
      !BytesFit(heldBytes_, headerBytes + length)) {
    if (length > 0)
      LogBodyRefused(this, bodyLength_);
    else
      LogOutOfMemory(this);
    return false;
  }
  if (bodyLength_ > kSmallBodyLength) {
    bodyBlocks_ = std::make_unique<TBodyBlocks>(bodyLength_);
    if (!bodyBlocks_->Append(std::string_view(input_).substr(inputHead_, buffered))) {
      LogOutOfMemory(this);
      return false;
    }
  } else {
    requestData_.append(input_, inputHead_, buffered);
  }
  // Bytes after the body are not part of the request.
  std::string().swap(input_);
  inputHead_ = lineScan_ = 0;
  phase_ = TPhase::Body;
  return ParseRequest(complete);
}

bool ThttpThread::ReceiveBody(TIo& io, std::size_t& count) {
  // The body grows as it arrives: a small one in its string, a large one in blocks.
  char chunk[16 * 1024];
  if (bodyBlocks_) {
    const std::span<char> room = bodyBlocks_->Room();
    if (room.empty()) {
      LogOutOfMemory(this);
      return false;
    }
    count = Receive(room.data(), std::min(room.size(), kReadChunk), io);
    bodyBlocks_->Commit(count);
  } else {
    count = Receive(chunk, std::min(bodyLength_ - requestData_.size(), sizeof chunk), io);
    requestData_.append(chunk, count);
  }
  // A body whose bytes would pass the bound, as the others grew meanwhile, is refused then.
  if (count > 0 && !HoldBytes(heldBytes_, heldBytes_ + static_cast<std::int64_t>(count))) {
    LogBodyRefused(this, bodyLength_);
    return false;
  }
  return true;
}

bool ThttpThread::Serve(std::uint64_t& answers) noexcept {
  TRequestInDispatch& request = RequestInDispatch();
  struct TDispatching {
    TRequestInDispatch& request;
    ~TDispatching() { request = {}; }
  } dispatching{request};
  try {
    std::int32_t status = 0;
    request = {readOrder_, true};
    try {
      status = ProcessRequest(method_, uri_);
    } catch (const TAwaitingAnswer& awaiting) {
      answers = awaiting.Answers;
      return false;
    }
    ReleaseBody();
    SendReply(status);
    return true;
  } catch (const std::exception& error) {
    LogException(this, "ThttpThread.Execute", error);
  } catch (...) {
  }
  // The request is over: its bytes count no more while the connection ends or lingers.
  ReleaseBody();
  if (phase_ != TPhase::Dispatch) {
    Abort();  // a reply begun and not finished must not look whole
    return true;
  }
  // No reply: the connection still ends as after one.
  std::string().swap(replyHead_);
  std::string().swap(replyData_);
  phase_ = TPhase::Closing;
  bool progressed = false;
  if (!OnWritable(progressed)) phase_ = TPhase::Dispatch;
  return true;
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
      LogSendFailure(this, error, desc);
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
    CloseTransport();  // nothing more goes through it
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
      LogSendFailure(this, ETIMEDOUT, SysErrorMessage(ETIMEDOUT));
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
