// The main window without a screen: it records what the controller shows and does, for the
// headless program and for tests. Showing the window makes it the program's last active
// window, as a real window would become on being brought to the front.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "Fm_MainController.h"

namespace dravik {

class THeadlessMainView : public IMainView {
 public:
  struct TTimerState {
    bool on = false;
    std::int32_t intervalMs = 0;
  };

  void InitWindow(const std::string& caption) override;
  void HideToTray() override;
  void ShowFromTray() override;
  bool IsHiddenToTray() const override { return hiddenToTray_; }
  bool LastActiveWindowVisible() const override { return visible_; }
  void BringToFront() override { ++broughtToFront_; }
  void SetTabsVisible(bool visible) override { tabsVisible_ = visible; }
  bool TabsVisible() const override { return tabsVisible_; }

  void SetTrayImage(TTrayImage image) override { trayImage_ = image; }
  void SetTrayHint(const std::string& hint) override { trayHint_ = hint; }
  void SetTrayIconVisible(bool visible) override;
  bool TrayIconVisible() const override { return trayVisible_; }
  void RemoveTrayIcon() override;

  void SetStatusText(const std::string& text) override { statusText_ = text; }
  void SetDomainLines(const std::vector<std::string>& lines) override { domainLines_ = lines; }
  std::vector<std::string> DomainLines() const override { return domainLines_; }
  void SetIdleTimeText(const std::string& text) override { idleTimeText_ = text; }
  std::string IdleTimeText() const override { return idleTimeText_; }
  void SetProxyOption(const std::string& caption, bool visible) override;
  void SetProxyOptionChecked(bool checked) override { proxyChecked_ = checked; }
  bool ProxyOptionChecked() const override { return proxyChecked_; }

  void SetTimer(TMainTimer timer, bool on, std::int32_t intervalMs) override;
  void OpenFolder(const std::string& folder) override { openedFolders_.push_back(folder); }
  void RequestQuit() noexcept override { quitRequested_.store(true); }

  // What was recorded.
  const std::string& Caption() const noexcept { return caption_; }
  bool Visible() const noexcept { return visible_; }
  TTrayImage TrayImage() const noexcept { return trayImage_; }
  const std::string& TrayHint() const noexcept { return trayHint_; }
  bool TrayIconRemoved() const noexcept { return trayRemoved_; }
  const std::string& StatusText() const noexcept { return statusText_; }
  const std::string& ProxyOptionCaption() const noexcept { return proxyCaption_; }
  bool ProxyOptionVisible() const noexcept { return proxyVisible_; }
  TTimerState Timer(TMainTimer timer) const noexcept;
  const std::vector<std::string>& OpenedFolders() const noexcept { return openedFolders_; }
  int BroughtToFront() const noexcept { return broughtToFront_; }
  bool QuitRequested() const noexcept { return quitRequested_.load(); }

 private:
  std::string caption_;
  bool visible_ = false;
  bool hiddenToTray_ = false;
  bool tabsVisible_ = false;
  int broughtToFront_ = 0;
  TTrayImage trayImage_ = TTrayImage::Normal;
  std::string trayHint_;
  bool trayVisible_ = false;
  bool trayRemoved_ = false;
  std::string statusText_;
  std::vector<std::string> domainLines_;
  std::string idleTimeText_;
  std::string proxyCaption_;
  bool proxyVisible_ = true;
  bool proxyChecked_ = false;
  TTimerState startTimer_;
  TTimerState trayTimer_;
  std::vector<std::string> openedFolders_;
  std::atomic<bool> quitRequested_{false};
};

}  // namespace dravik
