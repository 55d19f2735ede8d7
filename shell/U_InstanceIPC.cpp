#include "U_InstanceIPC.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "KvSysTools.h"
#include "U_LogFile.h"

namespace dravik {

namespace {

// Peers served at once; a flood of connections beyond it is closed unread.
constexpr std::size_t kMaxPeers = 16;
constexpr int kListenBacklog = 16;
constexpr int kSendTimeoutMs = 2000;
constexpr int kLockWaitMs = 5000;

[[noreturn]] void ThrowOSError(std::string_view what, const std::string& path, int error) {
  throw EOSError(std::string(what) + " \"" + path + "\": " + SysErrorMessage(error));
}

// A folder that is a real folder (no link), owned by us and closed to everyone else.
bool IsPrivateFolder(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
         (st.st_mode & 077) == 0;
}

void PutLe32(std::string& out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

std::uint32_t GetLe32(const char* bytes) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(bytes[i]);
  return value;
}

sockaddr_un SocketAddress(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof(address.sun_path))
    ThrowOSError("Socket path too long", path, ENAMETOOLONG);
  std::memcpy(address.sun_path, path.data(), path.size());
  return address;
}

}  // namespace

std::string MakeInstanceServerId(std::string_view identifier) {
  std::string id(InstanceServerIdPrefix);
  if (!identifier.empty()) return id.append(identifier);
  const std::string exe = GetExePath();
  return id.append(exe.substr(exe.rfind('/') + 1));
}

std::string JoinInstanceParams(const std::vector<std::string>& params) {
  std::string text;
  for (const std::string& param : params) text.append(param).push_back('\r');
  return text;
}

TInstanceMessage MakeInstanceMessage(const std::vector<std::string>& params) {
  return {static_cast<std::int32_t>(params.size()), JoinInstanceParams(params)};
}

std::string EncodeInstanceMessage(const TInstanceMessage& message) {
  if (message.Type < 0 || message.Type > MaxInstanceParamCount ||
      message.Text.size() > MaxInstanceTextBytes)
    throw Exception("Instance message exceeds the channel's bounds");
  std::string bytes;
  bytes.reserve(InstanceHeaderBytes + message.Text.size());
  PutLe32(bytes, static_cast<std::uint32_t>(message.Type));
  PutLe32(bytes, static_cast<std::uint32_t>(message.Text.size()));
  return bytes.append(message.Text);
}

std::string InstanceChannelDir() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime && runtime[0] == '/' && IsPrivateFolder(runtime)) return runtime;
  const char* tmp = std::getenv("TMPDIR");
  const std::string base = tmp && tmp[0] == '/' ? tmp : "/tmp";
  const std::string dir = base + "/dravik-" + std::to_string(::geteuid());
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
    ThrowOSError("Cannot create the folder", dir, errno);
  if (!IsPrivateFolder(dir)) ThrowOSError("Refusing the folder", dir, EPERM);
  return dir;
}

TUniqueFd& TUniqueFd::operator=(TUniqueFd&& other) noexcept {
  if (this != &other) {
    Reset();
    fd_ = other.Release();
  }
  return *this;
}

int TUniqueFd::Release() noexcept {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

void TUniqueFd::Reset() noexcept {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

TInstanceLock::TInstanceLock(std::string path) : path_(std::move(path)) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kLockWaitMs);
  for (;;) {
    TUniqueFd fd(::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd.Valid()) ThrowOSError("Cannot open the lock file", path_, errno);
    if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
      if (errno != EWOULDBLOCK && errno != EINTR) ThrowOSError("Cannot lock", path_, errno);
      if (std::chrono::steady_clock::now() >= deadline) ThrowOSError("Cannot lock", path_, errno);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    // The holder before us may have removed the file: then lock the one now at the path.
    struct stat held {
    }, named{};
    if (::fstat(fd.Get(), &held) == 0 && ::lstat(path_.c_str(), &named) == 0 &&
        held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
      fd_ = std::move(fd);
      return;
    }
  }
}

void TInstanceLock::RemoveFile() noexcept { ::unlink(path_.c_str()); }

TInstanceProbe ProbeInstanceServer(const std::string& socketPath, TUniqueFd& connection) {
  connection.Reset();
  struct stat st {};
  if (::lstat(socketPath.c_str(), &st) != 0) return TInstanceProbe::kNone;
  const sockaddr_un address = SocketAddress(socketPath);
  TUniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd.Valid()) ThrowOSError("Cannot create a socket for", socketPath, errno);
  if (::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0 ||
      errno == EAGAIN) {
    connection = std::move(fd);
    return TInstanceProbe::kLive;
  }
  if (errno == ECONNREFUSED && S_ISSOCK(st.st_mode)) return TInstanceProbe::kStale;
  if (errno == ENOENT) return TInstanceProbe::kNone;
  ThrowOSError("Cannot connect to", socketPath, errno);
}

void SendInstanceMessage(int connection, const TInstanceMessage& message) {
  const std::string bytes = EncodeInstanceMessage(message);
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kSendTimeoutMs);
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(connection, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) throw EOSError("Cannot send: " + SysErrorMessage(errno));
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) throw EOSError("Cannot send: the running instance does not read");
    pollfd waiter{connection, POLLOUT, 0};
    ::poll(&waiter, 1, static_cast<int>(left.count()));
  }
}

TInstanceServer::TInstanceServer(std::string socketPath, const IClock& clock)
    : socketPath_(std::move(socketPath)), clock_(clock) {
  const sockaddr_un address = SocketAddress(socketPath_);
  listener_ = TUniqueFd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!listener_.Valid()) ThrowOSError("Cannot create a socket for", socketPath_, errno);
  if (::bind(listener_.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0)
    ThrowOSError("Cannot bind", socketPath_, errno);
  struct stat st {};
  if (::chmod(socketPath_.c_str(), 0600) != 0 || ::lstat(socketPath_.c_str(), &st) != 0 ||
      ::listen(listener_.Get(), kListenBacklog) != 0) {
    const int error = errno;
    ::unlink(socketPath_.c_str());
    ThrowOSError("Cannot listen at", socketPath_, error);
  }
  socketDev_ = st.st_dev;
  socketIno_ = st.st_ino;
}

TInstanceServer::~TInstanceServer() {
  struct stat st {};
  if (::lstat(socketPath_.c_str(), &st) == 0 && st.st_dev == socketDev_ && st.st_ino == socketIno_)
    ::unlink(socketPath_.c_str());
}

std::vector<TInstanceMessage> TInstanceServer::Poll() {
  AcceptPeers();
  std::vector<TInstanceMessage> done;
  const std::int64_t now = clock_.MonotonicMs();
  std::erase_if(peers_, [&](TPeer& peer) {
    const TPeerState state = ReadPeer(peer, done);
    if (state == TPeerState::kPending && now >= peer.deadlineMs) {
      WriteLog(this, "Instance message not completed in time: peer dropped", 0);
      return true;
    }
    return state != TPeerState::kPending;
  });
  return done;
}

void TInstanceServer::AcceptPeers() {
  for (;;) {
    TUniqueFd fd(::accept4(listener_.Get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (!fd.Valid()) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      return;  // EAGAIN: nobody waits; anything else is retried on the next poll
    }
    ucred peer{};
    socklen_t size = sizeof(peer);
    if (::getsockopt(fd.Get(), SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 ||
        peer.uid != ::geteuid()) {
      WriteLog(this, "Instance message from another user refused", 0);
      continue;
    }
    if (peers_.size() >= kMaxPeers) continue;
    peers_.push_back(
        {std::move(fd), clock_.MonotonicMs() + InstancePeerTimeoutMs, {}, InstanceHeaderBytes});
  }
}

TInstanceServer::TPeerState TInstanceServer::ReadPeer(TPeer& peer,
                                                      std::vector<TInstanceMessage>& done) {
  for (;;) {
    const std::size_t have = peer.bytes.size();
    peer.bytes.resize(peer.expected);
    const ssize_t n = ::recv(peer.fd.Get(), peer.bytes.data() + have, peer.expected - have, 0);
    peer.bytes.resize(have + (n > 0 ? static_cast<std::size_t>(n) : 0));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return TPeerState::kPending;
    if (n <= 0) return TPeerState::kDropped;  // closed before its message was complete
    if (peer.bytes.size() < peer.expected) continue;
    const auto type = static_cast<std::int32_t>(GetLe32(peer.bytes.data()));
    const std::uint32_t length = GetLe32(peer.bytes.data() + 4);
    if (peer.expected == InstanceHeaderBytes) {
      if (type < 0 || type > MaxInstanceParamCount || length > MaxInstanceTextBytes) {
        WriteLog(this, "Instance message beyond the bounds: peer dropped", 0);
        return TPeerState::kDropped;
      }
      peer.expected += length;
      if (length > 0) continue;
    }
    done.push_back({type, peer.bytes.substr(InstanceHeaderBytes)});
    return TPeerState::kDone;
  }
}

}  // namespace dravik
