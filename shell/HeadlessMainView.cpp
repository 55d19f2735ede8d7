#include "HeadlessMainView.h"

namespace dravik {

void THeadlessMainView::InitWindow(const std::string& caption) {
  caption_ = caption;
  // Visible as laid out, but off the screen and still with its task-bar button.
  visible_ = true;
  hiddenToTray_ = false;
}

void THeadlessMainView::HideToTray() {
  visible_ = false;
  hiddenToTray_ = true;
}

void THeadlessMainView::ShowFromTray() {
  visible_ = true;
  hiddenToTray_ = false;
  ++broughtToFront_;
}

void THeadlessMainView::SetTrayIconVisible(bool visible) {
  if (!trayRemoved_) trayVisible_ = visible;
}

void THeadlessMainView::RemoveTrayIcon() {
  trayVisible_ = false;
  trayRemoved_ = true;
}

void THeadlessMainView::SetProxyOption(const std::string& caption, bool visible) {
  proxyCaption_ = caption;
  proxyVisible_ = visible;
}

void THeadlessMainView::SetTimer(TMainTimer timer, bool on, std::int32_t intervalMs) {
  TTimerState& state = timer == TMainTimer::Start ? startTimer_ : trayTimer_;
  state.on = on;
  state.intervalMs = intervalMs;
}

THeadlessMainView::TTimerState THeadlessMainView::Timer(TMainTimer timer) const noexcept {
  return timer == TMainTimer::Start ? startTimer_ : trayTimer_;
}

}  // namespace dravik
