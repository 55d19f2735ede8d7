#include "U_AppHooks.h"

#include <atomic>
#include <mutex>

namespace dravik {

namespace {

struct THooks {
  std::mutex lock;
  std::string title = "Dravik Plugin Host [ZRT]";
  std::function<void()> terminate;
};

THooks& Hooks() {
  static THooks hooks;
  return hooks;
}

constinit std::atomic<IUpdateState*> updateState{nullptr};

}  // namespace

std::string ApplicationTitle() {
  std::lock_guard guard(Hooks().lock);
  return Hooks().title;
}

void SetApplicationTitle(std::string title) {
  std::lock_guard guard(Hooks().lock);
  Hooks().title = std::move(title);
}

void SetUpdateState(IUpdateState* state) noexcept { updateState.store(state); }

bool IsUpdateInProgress() noexcept {
  IUpdateState* state = updateState.load();
  return state && state->UpdateInProgress();
}

void ShowUpdateMessage() {
  if (IUpdateState* state = updateState.load()) state->ShowUpdateMessage();
}

void SetTerminateHandler(std::function<void()> handler) {
  std::lock_guard guard(Hooks().lock);
  Hooks().terminate = std::move(handler);
}

void RequestTerminate() {
  std::function<void()> handler;
  {
    std::lock_guard guard(Hooks().lock);
    handler = Hooks().terminate;
  }
  if (handler) handler();
}

}  // namespace dravik
