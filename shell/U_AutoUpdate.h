// The self-update's shared state: the flag that turns API requests into 423 while an update
// check or download runs, the last update error shown to the user, and the message that
// tells the user why a request was refused.
#pragma once

#include <atomic>
#include <string_view>

#include "U_AppHooks.h"

namespace dravik {

enum class TAutoUpdateError {
  errNone,
  errGetManifest,
  errParseManifest,
  errGetInstaller,
  errCheckInstaller,
  errRunInstaller,
};

// The text the error message shows for each kind.
std::string_view AutoUpdateErrorText(TAutoUpdateError error) noexcept;

// Written by the update thread only; read by every API request.
extern constinit std::atomic<bool> UpdateInProgress;
// Set by the update thread when it shows an error to the user; never reset.
extern constinit std::atomic<TAutoUpdateError> LastUpdateError;

// The update note, or the last update error once one was shown, as a message box on the main
// thread; the caller waits until it is closed.
void ShowAutoUpdateMessage();

// The update state the API reads through host/U_AppHooks.h. In test-hook builds the
// environment variable DRAVIK_TEST_UPDATE_IN_PROGRESS=1 holds UpdateInProgress set, so that
// the refusals can be tested before a real update runs.
class TAutoUpdateState final : public IUpdateState {
 public:
  bool UpdateInProgress() const noexcept override;
  void ShowUpdateMessage() override { ShowAutoUpdateMessage(); }
};

// Reads the test-hook switch (a no-op in other builds) and registers the state; call once at
// start, before the listeners run.
void InitAutoUpdateState();
void FinalizeAutoUpdateState() noexcept;

}  // namespace dravik
