// The logic of the program's main window and its tray icon, apart from any widget toolkit.
//
// The controller creates the plugin host, runs the four start steps, waits for the listeners
// with the start timer, drives the tray icon by the idle time, answers the trusted-domain
// list's question about an unknown domain and wraps every message box of a worker thread
// with its own show-and-hide steps. What the window shows and does goes through IMainView:
// the Qt window implements it, the headless view only records it. Every handler runs on the
// main thread unless its comment says otherwise, and none of them throws.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "KvClock.h"
#include "KvDateTime.h"
#include "KvObject.h"
#include "U_AppSeams.h"
#include "U_PluginHost.h"

namespace dravik {

class TThreadDialogBase;

enum class TMainTimer { Start, Tray };
enum class TTrayImage { Normal, Error };

// What the main window shows and does. Called on the main thread only, except RequestQuit.
class IMainView {
 public:
  virtual ~IMainView() = default;

  // The caption, the status page made the active one, the window placed visible off screen.
  virtual void InitWindow(const std::string& caption) = 0;
  // No task-bar button, not shown.
  virtual void HideToTray() = 0;
  // Centred, on top, shown and brought to the front.
  virtual void ShowFromTray() = 0;
  virtual bool IsHiddenToTray() const = 0;
  // Whether the window of this program that was last active is visible now.
  virtual bool LastActiveWindowVisible() const = 0;
  virtual void BringToFront() = 0;
  virtual void SetTabsVisible(bool visible) = 0;
  virtual bool TabsVisible() const = 0;

  virtual void SetTrayImage(TTrayImage image) = 0;
  virtual void SetTrayHint(const std::string& hint) = 0;
  virtual void SetTrayIconVisible(bool visible) = 0;
  virtual bool TrayIconVisible() const = 0;
  // Takes the icon out of the notification area at once, for good.
  virtual void RemoveTrayIcon() = 0;

  // Plain text, lines joined by CR LF.
  virtual void SetStatusText(const std::string& text) = 0;
  virtual void SetDomainLines(const std::vector<std::string>& lines) = 0;
  virtual std::vector<std::string> DomainLines() const = 0;
  virtual void SetIdleTimeText(const std::string& text) = 0;
  virtual std::string IdleTimeText() const = 0;
  virtual void SetProxyOption(const std::string& caption, bool visible) = 0;
  // Sets the box without reporting it as the user's click.
  virtual void SetProxyOptionChecked(bool checked) = 0;
  virtual bool ProxyOptionChecked() const = 0;

  // Switches a timer on with the interval, or off; the view calls OnStartTimer or
  // OnTrayTimer at each tick.
  virtual void SetTimer(TMainTimer timer, bool on, std::int32_t intervalMs) = 0;
  virtual void OpenFolder(const std::string& folder) = 0;
  // Ends the main loop once control returns to it. Any thread.
  virtual void RequestQuit() noexcept = 0;
};

// What the window reports to the main window's logic: its timers' ticks and the user's
// actions. Main thread; none of them throws.
class IMainActions {
 public:
  virtual ~IMainActions() = default;

  virtual void OnStartTimer() noexcept = 0;
  virtual void OnTrayTimer() noexcept = 0;
  virtual void HideClicked() noexcept = 0;  // "Свернуть", closing, minimising
  virtual void ShowClicked() noexcept = 0;  // "Открыть", a double click or a trigger of the icon
  virtual void LogsClicked() noexcept = 0;         // "Журналы"
  virtual void ExitClicked() noexcept = 0;         // "Выход"
  virtual void DefaultsClicked() noexcept = 0;     // "Выставить по умолчанию"
  virtual void DomainsSaveClicked() noexcept = 0;  // "Сохранить" of the domain editor
  virtual void IdleTimeEdited() noexcept = 0;      // Enter in the idle-time field, or focus left
  virtual void ProxyOptionClicked() noexcept = 0;  // the box's state changed by the user
  virtual void TabsKeyPressed() noexcept = 0;      // Ctrl+Alt+D: shows the tabs, never hides them
};

// The domain editor's lines read from the ';' text form of the trusted domains, and back.
std::vector<std::string> DomainLinesOf(const std::string& text);
std::string DomainTextOf(const std::vector<std::string>& lines);

// The calls of the creation and the timers that reach outside the window; Default() calls
// the real modules. Tests replace single members.
struct TMainServices {
  std::function<std::shared_ptr<TPluginHost>()> CreateHost;
  std::function<bool()> HostNameAvailable;
  std::function<bool()> TlsLibrariesLoaded;
  std::function<bool(TPluginHost&)> LoadPluginLibrary;
  std::function<bool(TPluginHost&)> StartServers;
  std::function<bool(const TPluginHost&)> ServersRunning;
  // Whether the listeners bound their ports; asked once ServersRunning holds.
  std::function<TPluginHost::TListenersBind(const TPluginHost&)> ListenersBind;
  // The local time of the last accepted connection; 0 before the first. Any thread.
  std::function<TDateTime(const TPluginHost&)> LastConnect;

  static TMainServices Default();
};

class TMainController : public TKvObject, public IMainActions {
 public:
  static constexpr std::int32_t kStartIntervalMs = 100;
  static constexpr std::int32_t kTrayIntervalMs = 1000;
  static constexpr std::int32_t kMaxStartTicks = 10;

  // The view, the clock and the seams must outlive the controller.
  TMainController(IMainView& view, const IClock& clock, TMainServices services,
                  IAutoUpdateSeam& autoUpdate = NoAutoUpdate(),
                  IProxyMonitorSeam& proxyMonitor = NoProxyMonitor());
  // Clears the dialog hooks, stops the proxy monitor and unbinds the host's events. It
  // leaves the plugin library loaded: the key sessions are freed later and release their
  // engines there.
  ~TMainController() override;
  TMainController(const TMainController&) = delete;
  TMainController& operator=(const TMainController&) = delete;
  DRAVIK_CLASS_NAME(TFmMain)

  // The window's creation: tray icon, window, plugin host (installed with SetPluginHost),
  // start steps, start timer, dialog hooks.
  void Create() noexcept;

  // Timer ticks and user actions.
  void OnStartTimer() noexcept override;
  void OnTrayTimer() noexcept override;
  void HideClicked() noexcept override;
  void ShowClicked() noexcept override;
  void LogsClicked() noexcept override;
  void ExitClicked() noexcept override;
  void DefaultsClicked() noexcept override;
  void DomainsSaveClicked() noexcept override;
  void IdleTimeEdited() noexcept override;
  void ProxyOptionClicked() noexcept override;
  void TabsKeyPressed() noexcept override;
  // A later start of the program with its parameters.
  void OnOtherInstance(const std::vector<std::string>& params) noexcept;
  // Ends the program through the view's RequestQuit. Any thread.
  void Stop() noexcept;

  // The trusted-domain list's question; true when the user trusts the domain. Any thread;
  // waits while the question is open on the main thread.
  bool ConfirmDomain(const std::string& page, const std::string& domain);
  // A domain was trusted: the editor reloads on the main thread and the server group is
  // saved on the calling thread. Any thread.
  void DomainAdded() noexcept;

  // The dialog hooks around every message box the bridge shows.
  void BeforeThreadDialog(const TThreadDialogBase& dialog) noexcept;
  void AfterThreadDialog(const TThreadDialogBase& dialog) noexcept;

  bool ErrorState() const noexcept { return errorState_; }
  std::int32_t StartTicks() const noexcept { return startTicks_; }

 private:
  void InitTrayIcon();
  void CreatePluginHost();
  void BindHostEvents();
  void UnbindHostEvents() noexcept;
  void SettingsToControls();
  void ControlsToSettings();
  void UpdateDevMode(bool init);
  void StartServices();
  void CheckStartStep(bool ok);
  void SetErrorState();
  void UpdateStatus();
  void LoadDomains();
  void FinishStart();
  std::int32_t IdleTimeField() const;
  std::int64_t IdleMs(const TPluginHost& host);
  // Logs the error with LogException and shows it; never throws.
  void Fail(std::string_view context, std::exception_ptr error) noexcept;

  IMainView& view_;
  const IClock& clock_;
  TMainServices services_;
  IAutoUpdateSeam& autoUpdate_;
  IProxyMonitorSeam& proxyMonitor_;
  struct TLink;
  static bool AskAboutDomain(const std::string& page, const std::string& domain);
  static void SaveAddedDomain(const std::shared_ptr<TLink>& link) noexcept;

  // Shared with the domain list's handlers, which may outlive a call into this object;
  // its pointer is read and cleared on the main thread only.
  struct TLink {
    TMainController* owner = nullptr;
  };
  std::shared_ptr<TLink> link_;

  bool errorState_ = false;
  std::int32_t startTicks_ = 0;
  bool startTimerOn_ = false;
  std::int32_t trayIntervalMs_ = kTrayIntervalMs;
  bool showedForDialog_ = false;
  bool hooksSet_ = false;
  // The last connection as seen by the tray timer, with its monotonic time.
  TDateTime seenConnect_;
  std::int64_t seenConnectMs_ = 0;
  std::int64_t lastTrayTickMs_ = 0;
};

}  // namespace dravik
