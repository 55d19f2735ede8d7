#include "UniqueInstance.h"

#include <unistd.h>

#include <algorithm>

#include "U_LogFile.h"

namespace dravik {

std::vector<std::string> InstanceMessageParams(const TInstanceMessage& message) {
  std::vector<std::string> params(
      static_cast<std::size_t>(std::clamp(message.Type, 0, MaxInstanceParamCount)));
  std::size_t index = 0;
  std::size_t pos = 0;
  const std::string& text = message.Text;
  while (index < params.size()) {
    pos = text.find_first_not_of('\r', pos);
    if (pos == std::string::npos) break;
    const std::size_t end = std::min(text.find('\r', pos), text.size());
    params[index++] = text.substr(pos, end - pos);
    pos = end;
  }
  return params;
}

bool IsExitRequest(const std::vector<std::string>& params) noexcept {
  return !params.empty() && params.front() == "exit";
}

TUniqueInstance::TUniqueInstance(std::string identifier, const IClock& clock)
    : serverId_(MakeInstanceServerId(identifier)), clock_(clock) {}

TUniqueInstance::~TUniqueInstance() { FreeInstanceServer(); }

void TUniqueInstance::ResolvePaths() {
  if (!socketPath_.empty()) return;
  const std::string dir = InstanceChannelDir();
  socketPath_ = dir + "/" + serverId_;
  lockPath_ = socketPath_ + ".lock";
}

bool TUniqueInstance::IsAnotherInstanceRunning() {
  ResolvePaths();
  if (!lock_) lock_.emplace(lockPath_);
  TInstanceProbe probe = TInstanceProbe::kNone;
  try {
    probe = ProbeInstanceServer(socketPath_, connection_);
  } catch (...) {
    lock_.reset();
    throw;
  }
  if (probe == TInstanceProbe::kLive) {
    lock_.reset();
    return true;
  }
  if (probe == TInstanceProbe::kStale) ::unlink(socketPath_.c_str());
  return false;
}

void TUniqueInstance::SendToRunningInstance(const std::vector<std::string>& params) {
  const TInstanceMessage message = MakeInstanceMessage(params);
  EncodeInstanceMessage(message);  // refuses what the server would drop, before connecting
  if (!connection_.Valid()) {
    ResolvePaths();
    if (ProbeInstanceServer(socketPath_, connection_) != TInstanceProbe::kLive)
      throw EOSError("No running instance at \"" + socketPath_ + "\"");
  }
  const TUniqueFd connection = std::move(connection_);
  SendInstanceMessage(connection.Get(), message);
}

void TUniqueInstance::StartInstanceServer() {
  if (server_) return;
  try {
    if (!lock_ && IsAnotherInstanceRunning())
      throw EOSError("Another instance serves \"" + socketPath_ + "\"");
    server_ = std::make_unique<TInstanceServer>(socketPath_, clock_);
  } catch (...) {
    lock_.reset();
    throw;
  }
  lock_.reset();
}

TInstanceCheck TUniqueInstance::CheckOtherInstance(const std::vector<std::string>& params) {
  for (int attempt = 1;; ++attempt) {
    try {
      if (IsAnotherInstanceRunning()) {
        try {
          SendToRunningInstance(params);
        } catch (const std::exception& e) {
          // The running instance is there all the same: this start ends either way.
          LogException(this, "Sending the parameters to the running instance", e);
        }
        return TInstanceCheck::kAnotherInstance;
      }
      StartInstanceServer();
      return TInstanceCheck::kServerStarted;
    } catch (const std::exception& e) {
      lock_.reset();
      connection_.Reset();
      if (attempt == 2) {
        LogException(this, "Single-instance server not started", e);
        return TInstanceCheck::kNoChannel;
      }
    }
  }
}

std::vector<TInstanceMessage> TUniqueInstance::Poll() {
  if (!server_) return {};
  return server_->Poll();
}

void TUniqueInstance::FreeInstanceServer() noexcept {
  lock_.reset();
  connection_.Reset();
  if (!server_) return;
  try {
    // Under the lock, so that no start checks between the removal of the two files.
    TInstanceLock lock(lockPath_);
    server_.reset();
    lock.RemoveFile();
  } catch (const std::exception& e) {
    server_.reset();
    LogException(this, "Removing the single-instance lock", e);
  }
}

}  // namespace dravik
