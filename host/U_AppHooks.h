// What the server side needs of the desktop program, declared here and filled by the
// program at start: the application title, the update state and the request to stop.
// Until the program sets them, the title is the default one, no update is running and a
// stop request does nothing.
#pragma once

#include <functional>
#include <string>

namespace dravik {

// The title the dialogs and messages show: "Dravik Plugin Host" + " [ZRT]".
std::string ApplicationTitle();
void SetApplicationTitle(std::string title);

// The self-update's state as the API sees it.
class IUpdateState {
 public:
  virtual ~IUpdateState() = default;
  // True while an update check or download runs, and for good once an installer started.
  virtual bool UpdateInProgress() const noexcept = 0;
  // Shows the update note (or the last update error) on the main thread and waits until the
  // user has closed it; callable from any thread.
  virtual void ShowUpdateMessage() = 0;
};

// The program's update state; it must outlive every caller (the program sets it before the
// listeners start and clears it after they are stopped).
void SetUpdateState(IUpdateState* state) noexcept;
bool IsUpdateInProgress() noexcept;
void ShowUpdateMessage();

// Asks the program to end as its exit item does; the program installs the handler.
void SetTerminateHandler(std::function<void()> handler);
void RequestTerminate();

}  // namespace dravik
