// The single-instance guard of the program's start: a start either finds the running
// instance and hands it its parameters, or becomes the running instance by starting the
// instance server, which the main window then polls for the messages of later starts.
//
// main() calls CheckOtherInstance right after the modules are initialised; on
// kAnotherInstance it logs AnotherInstanceRunningText and ends. The window's timer calls
// Poll() (or a notifier watches Fd()) and turns each message into its parameter list with
// InstanceMessageParams: IsExitRequest ends the program, anything else shows the window.
// All of it runs on the main thread.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "KvClock.h"
#include "KvObject.h"
#include "U_InstanceIPC.h"

namespace dravik {

inline constexpr std::string_view AnotherInstanceRunningText =
    "Another instance is running! Exiting...";

// The outcome of the start-up check.
enum class TInstanceCheck {
  kServerStarted,    // this is the running instance now
  kAnotherInstance,  // another one runs and was sent the parameters
  kNoChannel,        // neither: the program runs on without the channel (an error was logged)
};

// The parameter list of a message: Type entries, the i-th being the i-th word of the text,
// where a run of carriage returns separates two words (so empty parameters are lost and
// later ones move forward); entries beyond the last word are empty.
std::vector<std::string> InstanceMessageParams(const TInstanceMessage& message);

// True when the first parameter is "exit" in exactly that case.
bool IsExitRequest(const std::vector<std::string>& params) noexcept;

class TUniqueInstance final : public TKvObject {
 public:
  DRAVIK_CLASS_NAME(TUniqueInstance)

  // The guard of MakeInstanceServerId(identifier); the clock times out stalled senders.
  explicit TUniqueInstance(std::string identifier = {}, const IClock& clock = SystemClock());
  ~TUniqueInstance() override;  // FreeInstanceServer()
  TUniqueInstance(const TUniqueInstance&) = delete;
  TUniqueInstance& operator=(const TUniqueInstance&) = delete;

  const std::string& ServerId() const noexcept { return serverId_; }
  // The socket's full name; "" until the channel folder was resolved.
  const std::string& SocketPath() const noexcept { return socketPath_; }

  // True when a live server answers. A stale socket file is removed, and on false the
  // lock stays held, so that StartInstanceServer binds before any other start can check.
  // Throws EOSError when the channel folder or the lock cannot be used.
  bool IsAnotherInstanceRunning();
  // Sends the message of these parameters to the running instance; throws EOSError (none
  // runs, it does not read) or Exception (the parameters exceed the channel's bounds).
  void SendToRunningInstance(const std::vector<std::string>& params);
  // Binds and listens; does nothing when the server already runs; throws EOSError.
  void StartInstanceServer();

  // The start-up check: another instance gets the parameters, else the server starts;
  // when it cannot start, the check runs once more (another start may have won the race)
  // and otherwise the error is logged. Never throws for a channel error.
  TInstanceCheck CheckOtherInstance(const std::vector<std::string>& params);

  bool IsServerRunning() const noexcept { return server_ != nullptr; }
  // The listening socket for a read notifier; -1 without server.
  int Fd() const noexcept { return server_ ? server_->Fd() : -1; }
  // The messages later starts completed since the last call; none without server.
  std::vector<TInstanceMessage> Poll();
  // Closes the server and removes its socket file and the lock file.
  void FreeInstanceServer() noexcept;

 private:
  void ResolvePaths();

  std::string serverId_;
  const IClock& clock_;
  std::string socketPath_;
  std::string lockPath_;
  std::optional<TInstanceLock> lock_;  // held from a negative check until StartInstanceServer
  TUniqueFd connection_;               // from a positive check, used by the next send
  std::unique_ptr<TInstanceServer> server_;
};

}  // namespace dravik
