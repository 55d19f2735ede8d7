// The program's only window and the owner of its tray icon, drawn with Qt Widgets.
//
// The window shows what the main window's logic (TMainController) tells it through IMainView
// and reports its timers and the user's actions through IMainActions. It has a status page
// and a settings page (the trusted-domain editor, the idle time of the tray icon, the
// defaults button); the tabs are hidden unless the logic shows them. Closing or minimising
// it only hides it to the tray, until the program is ending.
#pragma once

#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "Fm_MainController.h"

class QAction;
class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QSystemTrayIcon;
class QTabWidget;
class QWindow;

namespace dravik {

class TFrmCommonSettings;

class TFmMain final : public QWidget, public IMainView {
 public:
  static constexpr int kClientWidth = 300;
  static constexpr int kClientHeight = 400;

  explicit TFmMain(QWidget* parent = nullptr);
  ~TFmMain() override;
  TFmMain(const TFmMain&) = delete;
  TFmMain& operator=(const TFmMain&) = delete;

  // Where ticks and clicks go; null drops them. Set once the logic exists.
  void SetActions(IMainActions* actions) noexcept { actions_ = actions; }
  void StopTimers();

  // IMainView
  void InitWindow(const std::string& caption) override;
  void HideToTray() override;
  void ShowFromTray() override;
  bool IsHiddenToTray() const override { return hiddenToTray_; }
  bool LastActiveWindowVisible() const override;
  void BringToFront() override;
  void SetTabsVisible(bool visible) override;
  bool TabsVisible() const override;
  void SetTrayImage(TTrayImage image) override;
  void SetTrayHint(const std::string& hint) override;
  void SetTrayIconVisible(bool visible) override;
  bool TrayIconVisible() const override;
  void RemoveTrayIcon() override;
  void SetStatusText(const std::string& text) override;
  void SetDomainLines(const std::vector<std::string>& lines) override;
  std::vector<std::string> DomainLines() const override;
  void SetIdleTimeText(const std::string& text) override;
  std::string IdleTimeText() const override;
  void SetProxyOption(const std::string& caption, bool visible) override;
  void SetProxyOptionChecked(bool checked) override;
  bool ProxyOptionChecked() const override;
  void SetTimer(TMainTimer timer, bool on, std::int32_t intervalMs) override;
  void OpenFolder(const std::string& folder) override;
  void RequestQuit() noexcept override;

  // What the tray icon currently shows, for the window's own checks.
  TTrayImage TrayImage() const noexcept { return trayImage_; }
  bool TrayIconRemoved() const noexcept { return !trayIcon_; }
  QSystemTrayIcon* TrayIcon() const noexcept { return trayIcon_.get(); }
  QMenu* TrayMenu() const noexcept { return trayMenu_.get(); }

  // The controls, by the names the layout gives them.
  QTabWidget* pCtrl_Host = nullptr;
  QWidget* tab_Status = nullptr;
  QPlainTextEdit* memo_Status = nullptr;
  QWidget* pnl_Hide = nullptr;
  QPushButton* btn_Hide = nullptr;
  QWidget* tab_Settings = nullptr;
  QPushButton* btn_Defaults = nullptr;
  QGroupBox* grp_Domains = nullptr;
  TFrmCommonSettings* Frm_Server = nullptr;
  QCheckBox* chk_DynamicOption = nullptr;
  QGroupBox* grp_Icon = nullptr;
  QLabel* lbl_HideIcon = nullptr;
  QLineEdit* edt_HideIcon = nullptr;
  QAction* mnu_Show = nullptr;
  QAction* mnu_Logs = nullptr;
  QAction* mnu_Exit = nullptr;

 protected:
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void BuildStatusPage();
  void BuildSettingsPage();
  void BuildTray();
  void OnTrayActivated(int reason);
  void AppDeactivate();

  IMainActions* actions_ = nullptr;
  std::unique_ptr<QSystemTrayIcon> trayIcon_;
  std::unique_ptr<QMenu> trayMenu_;
  QTimer timer_Start;
  QTimer timer_Tray;
  TTrayImage trayImage_ = TTrayImage::Normal;
  bool hiddenToTray_ = false;
  std::atomic<bool> ending_{false};
  // The window of this program that had the focus last; cleared when it goes.
  QPointer<QWindow> lastActive_;
};

}  // namespace dravik
