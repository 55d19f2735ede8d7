// The single-instance channel: an AF_UNIX stream socket named after the server id in a
// private folder of the user, a lock file beside it, and the one message a later start
// sends to the running instance.
//
// Wire format of the message (one message per connection, the sender closes afterwards):
//   bytes 0-3  the message type, a signed 32-bit little-endian integer: the parameter count
//   bytes 4-7  the text's length in bytes, an unsigned 32-bit little-endian integer
//   bytes 8-   the text: every parameter followed by one carriage return
// The server refuses a type outside 0..MaxInstanceParamCount, a text longer than
// MaxInstanceTextBytes and a peer that has not sent its whole message within
// InstancePeerTimeoutMs of being accepted: it drops that peer and goes on.
//
// Everything here is meant for the main thread; no object is shared between threads.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "KvClock.h"
#include "KvObject.h"

namespace dravik {

inline constexpr std::string_view InstanceServerIdPrefix = "tuniqueinstance_";
inline constexpr std::int32_t MaxInstanceParamCount = 1024;
inline constexpr std::uint32_t MaxInstanceTextBytes = 64 * 1024;
inline constexpr std::int64_t InstancePeerTimeoutMs = 1000;
inline constexpr std::size_t InstanceHeaderBytes = 8;

// The one message of the channel.
struct TInstanceMessage {
  std::int32_t Type = 0;  // the number of parameters
  std::string Text;       // the parameters, each followed by a carriage return
  bool operator==(const TInstanceMessage&) const = default;
};

// "tuniqueinstance_" followed by the identifier, or by the running program's file name
// (no folder, case as the system reports it) when the identifier is empty.
std::string MakeInstanceServerId(std::string_view identifier);

// The message text of a start with these parameters (argv[1..], never the program path):
// each parameter followed by one carriage return.
std::string JoinInstanceParams(const std::vector<std::string>& params);

// The message of a start with these parameters: their count and JoinInstanceParams.
TInstanceMessage MakeInstanceMessage(const std::vector<std::string>& params);

// The message's bytes on the wire; throws Exception when the message exceeds the bounds
// the server accepts.
std::string EncodeInstanceMessage(const TInstanceMessage& message);

// The folder of the channel: $XDG_RUNTIME_DIR when it is absolute and a real folder owned
// by us that nobody else may enter, else "$TMPDIR/dravik-<uid>" (created 0700 when
// missing). Throws EOSError when the fallback folder cannot be created or is not ours alone.
std::string InstanceChannelDir();

// A file descriptor closed when the object ends.
class TUniqueFd {
 public:
  TUniqueFd() = default;
  explicit TUniqueFd(int fd) noexcept : fd_(fd) {}
  TUniqueFd(TUniqueFd&& other) noexcept : fd_(other.Release()) {}
  TUniqueFd& operator=(TUniqueFd&& other) noexcept;
  TUniqueFd(const TUniqueFd&) = delete;
  TUniqueFd& operator=(const TUniqueFd&) = delete;
  ~TUniqueFd() { Reset(); }

  int Get() const noexcept { return fd_; }
  bool Valid() const noexcept { return fd_ >= 0; }
  int Release() noexcept;
  void Reset() noexcept;

 private:
  int fd_ = -1;
};

// An exclusive flock on the lock file, held for the object's lifetime. Construction waits
// a few seconds at most for another holder and throws EOSError when it cannot lock.
class TInstanceLock {
 public:
  explicit TInstanceLock(std::string path);

  // Removes the lock file while the lock is still held, so that a waiter that then gets
  // it sees a removed file and locks a fresh one.
  void RemoveFile() noexcept;

 private:
  std::string path_;
  TUniqueFd fd_;
};

// What a connect to the socket path found.
enum class TInstanceProbe {
  kNone,   // no socket file there
  kLive,   // a server accepted (or is too busy to accept at once)
  kStale,  // a socket file whose connect was refused: its server is gone
};

// Connects to the socket path; on kLive `connection` holds the connected socket.
TInstanceProbe ProbeInstanceServer(const std::string& socketPath, TUniqueFd& connection);

// Writes the whole message on a connected socket, waiting at most two seconds for the
// peer; throws EOSError when it cannot.
void SendInstanceMessage(int connection, const TInstanceMessage& message);

// The listening side. Its socket is non-blocking; the owner calls Poll() from a timer or
// when Fd() becomes readable.
class TInstanceServer final : public TKvObject {
 public:
  DRAVIK_CLASS_NAME(TInstanceServer)

  // Binds and listens at the socket path (which must be free); throws EOSError.
  TInstanceServer(std::string socketPath, const IClock& clock);
  // Closes every socket and removes the socket file when it is still the one bound here.
  ~TInstanceServer() override;
  TInstanceServer(const TInstanceServer&) = delete;
  TInstanceServer& operator=(const TInstanceServer&) = delete;

  int Fd() const noexcept { return listener_.Get(); }
  const std::string& SocketPath() const noexcept { return socketPath_; }

  // Accepts waiting peers, reads what they sent, drops those that broke the bounds or
  // stalled, and returns the messages completed since the last call, in order.
  std::vector<TInstanceMessage> Poll();

 private:
  struct TPeer {
    TUniqueFd fd;
    std::int64_t deadlineMs = 0;
    std::string bytes;
    std::size_t expected = InstanceHeaderBytes;
  };
  enum class TPeerState { kPending, kDone, kDropped };

  void AcceptPeers();
  TPeerState ReadPeer(TPeer& peer, std::vector<TInstanceMessage>& done);

  std::string socketPath_;
  const IClock& clock_;
  TUniqueFd listener_;
  dev_t socketDev_ = 0;
  ino_t socketIno_ = 0;
  std::vector<TPeer> peers_;
};

}  // namespace dravik
