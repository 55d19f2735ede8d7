#include "Fm_MainController.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <utility>

#include "DomainList.h"
#include "KvText.h"
#include "U_AppHooks.h"
#include "U_InitSSL.h"
#include "U_LogFile.h"
#include "U_PluginHost.h"
#include "U_Settings.h"
#include "U_ThreadDialogs.h"

namespace dravik {

namespace {

constexpr std::string_view kProxyOptionCaption = "Проверять исключения прокси";
constexpr std::string_view kOpenSSLLoadedReport = "Библиотеки OpenSSL загружены";
constexpr double kMsPerDay = 86400000.0;

// The report of the web server's start names the TLS libraries as loaded.
bool OpenSSLLibrariesLoaded() { return GetOpenSSLReport().starts_with(kOpenSSLLoadedReport); }

std::string FormatConfirmQuestion(const std::string& page, const std::string& domain) {
  return "Страница \"" + page +
         "\" пытается получить доступ к крипто-плагину.\r\nРазрешить и добавить домен \"" + domain +
         "\" в список доверенных?";
}

// Runs a function on the main thread through the dialog bridge, waiting for it; refused
// (not run) once the bridge is closed.
class TMainThreadCall final : public TThreadDialog {
 public:
  explicit TMainThreadCall(std::function<void()> call) : call_(std::move(call)) {}
  DRAVIK_CLASS_NAME(TMainThreadCall)
  void Execute() override { ShowDialog(); }
  void ShowDialog() override { call_(); }
  void Refuse() noexcept override {}

 private:
  std::function<void()> call_;
};

}  // namespace

std::vector<std::string> DomainLinesOf(const std::string& text) {
  TBaseDomainList list;
  list.SetDelimitedText(text);
  return list.Lines();
}

std::string DomainTextOf(const std::vector<std::string>& lines) {
  TBaseDomainList list;
  list.Assign(lines);
  return list.DelimitedText();
}

TMainServices TMainServices::Default() {
  TMainServices services;
  services.CreateHost = [] { return std::make_shared<TPluginHost>(); };
  services.HostNameAvailable = [] { return IsServerHostNameAvailable(); };
  services.TlsLibrariesLoaded = [] { return OpenSSLLibrariesLoaded(); };
  services.LoadPluginLibrary = [](TPluginHost& host) { return host.LoadPluginLibrary(); };
  services.StartServers = [](TPluginHost& host) { return host.StartServers(); };
  services.ServersRunning = [](const TPluginHost& host) { return host.IsServerRunning(); };
  services.ListenersBind = [](const TPluginHost& host) { return host.ListenersBind(); };
  services.LastConnect = [](const TPluginHost& host) { return host.LastConnect(); };
  return services;
}

TMainController::TMainController(IMainView& view, const IClock& clock, TMainServices services,
                                 IAutoUpdateSeam& autoUpdate, IProxyMonitorSeam& proxyMonitor)
    : view_(view),
      clock_(clock),
      services_(std::move(services)),
      autoUpdate_(autoUpdate),
      proxyMonitor_(proxyMonitor),
      link_(std::make_shared<TLink>()) {
  link_->owner = this;
  lastTrayTickMs_ = clock_.MonotonicMs();
}

TMainController::~TMainController() {
  link_->owner = nullptr;
  if (hooksSet_) {
    OnBeforeThreadDialog() = nullptr;
    OnAfterThreadDialog() = nullptr;
  }
  proxyMonitor_.StopProxyMonitor();
  UnbindHostEvents();
  // Neither the listeners nor the plugin library are stopped here: the main loop has stopped
  // the listeners, the key sessions still release their engines in the library after this,
  // and the library manager's finalisation releases the library without a shutdown call.
}

void TMainController::Create() noexcept {
  try {
    errorState_ = false;
    InitTrayIcon();
    view_.InitWindow(ApplicationTitle());
    UpdateDevMode(true);
    CreatePluginHost();
  } catch (...) {
    Fail("Creating the main window", std::current_exception());
  }
  showedForDialog_ = false;
  OnBeforeThreadDialog() = [this](const TThreadDialogBase& dialog) { BeforeThreadDialog(dialog); };
  OnAfterThreadDialog() = [this](const TThreadDialogBase& dialog) { AfterThreadDialog(dialog); };
  hooksSet_ = true;
}

void TMainController::InitTrayIcon() {
  view_.SetTrayIconVisible(false);
  view_.SetTrayImage(TTrayImage::Normal);
  view_.SetTrayHint(ApplicationTitle());
}

void TMainController::CreatePluginHost() {
  SetPluginHost(services_.CreateHost());
  BindHostEvents();
  SettingsToControls();
  UpdateDevMode(false);
  StartServices();
}

void TMainController::BindHostEvents() {
  const std::shared_ptr<TPluginHost> host = PluginHost();
  if (!host) return;
  TDomainListPlus& list = host->Settings().Server().DomainList();
  // The handlers run on connection threads: the question needs nothing of this object but
  // the title, and the refresh goes through the link on the main thread.
  list.SetOnConfirmDomain(&AskAboutDomain);
  list.SetOnNewDomain([link = link_] { SaveAddedDomain(link); });
}

void TMainController::UnbindHostEvents() noexcept {
  if (const std::shared_ptr<TPluginHost> host = PluginHost()) {
    TDomainListPlus& list = host->Settings().Server().DomainList();
    list.SetOnConfirmDomain(nullptr);
    list.SetOnNewDomain(nullptr);
  }
}

bool TMainController::AskAboutDomain(const std::string& page, const std::string& domain) {
  TThreadMessageDlg dialog(ApplicationTitle(), FormatConfirmQuestion(page, domain), mtConfirmation,
                           {mbYes, mbNo});
  // The window's own mark travels with the request, so another thread's box cannot take it.
  dialog.RaisedByWindow = true;
  ExecuteInMainThread(dialog);
  return dialog.Result == mrYes;
}

void TMainController::SaveAddedDomain(const std::shared_ptr<TLink>& link) noexcept {
  // The editor is a widget: it is refreshed on the main thread while this thread waits.
  TMainThreadCall refresh([link] {
    if (link->owner) link->owner->LoadDomains();
  });
  try {
    ExecuteInMainThread(refresh);
  } catch (const std::exception& error) {
    LogException(nullptr, "Refreshing the domain list", error);
  }
  try {
    if (const std::shared_ptr<TPluginHost> host = PluginHost())
      host->Settings().Save(TSettingsGroup::sgServer);
  } catch (const std::exception& error) {
    LogException(nullptr, "Saving the domain list", error);
  }
}

bool TMainController::ConfirmDomain(const std::string& page, const std::string& domain) {
  return AskAboutDomain(page, domain);
}

void TMainController::DomainAdded() noexcept { SaveAddedDomain(link_); }

void TMainController::LoadDomains() {
  if (const std::shared_ptr<TPluginHost> host = PluginHost())
    view_.SetDomainLines(DomainLinesOf(host->Settings().Server().Domains()));
}

void TMainController::SettingsToControls() {
  const std::shared_ptr<TPluginHost> host = PluginHost();
  if (!host) return;
  LoadDomains();
  view_.SetIdleTimeText(std::to_string(host->Settings().IdleTime()));
  view_.SetProxyOptionChecked(host->Settings().ProxyMonitor());
}

void TMainController::ControlsToSettings() {
  const std::shared_ptr<TPluginHost> host = PluginHost();
  if (!host) return;
  host->Settings().Server().SetDomains(DomainTextOf(view_.DomainLines()));
  host->Settings().SetIdleTime(IdleTimeField());
  host->Settings().SetProxyMonitor(view_.ProxyOptionChecked());
}

void TMainController::UpdateDevMode(bool init) {
  const std::shared_ptr<TPluginHost> host = PluginHost();
  const bool dev = host && host->Settings().DevMode();
  view_.SetTabsVisible(dev);
  if (init) {
    view_.SetProxyOption(std::string(kProxyOptionCaption), false);
  } else if (dev) {
    view_.SetTrayIconVisible(true);
  } else {
    view_.SetTabsVisible(host && host->Settings().IsModified());
  }
}

void TMainController::StartServices() {
  if (const std::shared_ptr<TPluginHost> host = PluginHost()) {
    // Each step runs whatever the earlier ones gave; only the first failure counts.
    CheckStartStep(services_.HostNameAvailable());
    CheckStartStep(services_.TlsLibrariesLoaded());
    CheckStartStep(services_.LoadPluginLibrary(*host));
    CheckStartStep(services_.StartServers(*host));
  }
  startTicks_ = 1;
  startTimerOn_ = true;
  view_.SetTimer(TMainTimer::Start, true, kStartIntervalMs);
}

void TMainController::CheckStartStep(bool ok) {
  if (ok || errorState_) return;
  view_.SetTabsVisible(true);
  SetErrorState();
}

void TMainController::SetErrorState() {
  errorState_ = true;
  view_.SetTrayImage(TTrayImage::Error);
  view_.SetTrayIconVisible(true);
}

void TMainController::UpdateStatus() {
  if (const std::shared_ptr<TPluginHost> host = PluginHost())
    view_.SetStatusText(host->GetStatusText());
}

void TMainController::OnStartTimer() noexcept {
  try {
    using TListenersBind = TPluginHost::TListenersBind;
    const std::shared_ptr<TPluginHost> host = PluginHost();
    // The listeners count once both exist and each has bound its port or given up.
    const TListenersBind bind = host && services_.ServersRunning(*host)
                                    ? services_.ListenersBind(*host)
                                    : TListenersBind::kPending;
    if (bind != TListenersBind::kPending) {
      startTimerOn_ = false;
      view_.SetTimer(TMainTimer::Start, false, kStartIntervalMs);
      // A port that could not be bound leaves the program without that listener: a failed
      // start, whatever the log says.
      if (bind == TListenersBind::kFailed) CheckStartStep(false);
      try {
        host->Settings().Save();
      } catch (...) {
        Fail("Saving the settings", std::current_exception());
      }
      if (!host->Settings().DevMode()) view_.SetTimer(TMainTimer::Tray, true, trayIntervalMs_);
    } else if (++startTicks_ > kMaxStartTicks) {
      startTimerOn_ = false;
      view_.SetTimer(TMainTimer::Start, false, kStartIntervalMs);
      SetErrorState();
    }
    if (!startTimerOn_) FinishStart();
  } catch (...) {
    Fail("Start timer", std::current_exception());
  }
}

void TMainController::FinishStart() {
  view_.HideToTray();
  UpdateStatus();
  autoUpdate_.StartAutoUpdate();
  const std::shared_ptr<TPluginHost> host = PluginHost();
  if (host && host->Settings().ProxyMonitor()) proxyMonitor_.StartProxyMonitor(*this);
}

std::int32_t TMainController::IdleTimeField() const {
  // The field takes up to three digits but may be left empty: then the saved value counts.
  std::int32_t seconds = 0;
  if (TryParseInt(Trim(view_.IdleTimeText()), seconds) && seconds >= 0) return seconds;
  const std::shared_ptr<TPluginHost> host = PluginHost();
  return host ? host->Settings().IdleTime() : THostSettings::kDefaultIdleTime;
}

std::int64_t TMainController::IdleMs(const TPluginHost& host) {
  const std::int64_t nowMs = clock_.MonotonicMs();
  const TDateTime last = services_.LastConnect(host);
  if (last != seenConnect_) {
    // A new connection came since the last tick: date it back by its wall-clock age, but
    // never before that tick, so that a change of the wall clock cannot distort it.
    const double ageMs = std::round((clock_.Now().Days() - last.Days()) * kMsPerDay);
    const auto bound = static_cast<double>(std::max<std::int64_t>(nowMs - lastTrayTickMs_, 0));
    seenConnect_ = last;
    seenConnectMs_ = nowMs - static_cast<std::int64_t>(std::clamp(ageMs, 0.0, bound));
  }
  lastTrayTickMs_ = nowMs;
  return nowMs - seenConnectMs_;
}

void TMainController::OnTrayTimer() noexcept {
  try {
    view_.SetTimer(TMainTimer::Tray, false, trayIntervalMs_);
    const std::shared_ptr<TPluginHost> host = PluginHost();
    if (errorState_ || !host || host->Settings().DevMode()) return;
    const std::int32_t n = IdleTimeField();
    const std::int64_t idleMs = IdleMs(*host);
    const bool connected = seenConnect_ > TDateTime();
    if (n == 0) {
      view_.SetTrayIconVisible(true);
    } else if (connected) {
      if (idleMs / 1000 > n) {
        trayIntervalMs_ = kTrayIntervalMs;
        view_.SetTrayIconVisible(false);
      } else {
        trayIntervalMs_ = n * 1000;
        view_.SetTrayIconVisible(true);
      }
    }
    if (n > 0 || !connected) view_.SetTimer(TMainTimer::Tray, true, trayIntervalMs_);
  } catch (...) {
    Fail("Tray timer", std::current_exception());
  }
}

void TMainController::HideClicked() noexcept {
  try {
    view_.HideToTray();
  } catch (...) {
    Fail("Hiding the window", std::current_exception());
  }
}

void TMainController::ShowClicked() noexcept {
  try {
    view_.ShowFromTray();
  } catch (...) {
    Fail("Showing the window", std::current_exception());
  }
}

void TMainController::LogsClicked() noexcept {
  try {
    THostLoger* log = HostLoger.load();
    if (!log || !log->IsEnabled()) return;
    const std::string fileName = log->GetCurrentLogFile();
    const std::string folder = std::filesystem::path(fileName).parent_path().string();
    if (!folder.empty()) view_.OpenFolder(folder);
  } catch (...) {
    Fail("Opening the log folder", std::current_exception());
  }
}

void TMainController::ExitClicked() noexcept {
  try {
    view_.RemoveTrayIcon();
  } catch (...) {
    Fail("Removing the tray icon", std::current_exception());
  }
  Stop();
}

void TMainController::Stop() noexcept { view_.RequestQuit(); }

void TMainController::DefaultsClicked() noexcept {
  try {
    if (const std::shared_ptr<TPluginHost> host = PluginHost()) host->Settings().SetDefaults();
    SettingsToControls();
  } catch (...) {
    Fail("Restoring the defaults", std::current_exception());
  }
}

void TMainController::DomainsSaveClicked() noexcept {
  try {
    if (const std::shared_ptr<TPluginHost> host = PluginHost()) {
      host->Settings().Server().SetDomains(DomainTextOf(view_.DomainLines()));
      host->Settings().Save(TSettingsGroup::sgServer);
    }
  } catch (...) {
    Fail("Saving the domain list", std::current_exception());
  }
}

void TMainController::IdleTimeEdited() noexcept {
  try {
    const std::shared_ptr<TPluginHost> host = PluginHost();
    std::int32_t seconds = 0;
    // An empty field keeps the saved value; the field takes digits only.
    if (!host || !TryParseInt(Trim(view_.IdleTimeText()), seconds) || seconds < 0) return;
    host->Settings().SetIdleTime(seconds);
    host->Settings().Save(TSettingsGroup::sgHost);
  } catch (...) {
    Fail("Saving the settings", std::current_exception());
  }
}

void TMainController::ProxyOptionClicked() noexcept {
  try {
    const std::shared_ptr<TPluginHost> host = PluginHost();
    if (!host) return;
    const bool checked = view_.ProxyOptionChecked();
    if (checked == host->Settings().ProxyMonitor()) return;
    if (checked)
      proxyMonitor_.StartProxyMonitor(*this);
    else
      proxyMonitor_.StopProxyMonitor();
    ControlsToSettings();
    host->Settings().Save(TSettingsGroup::sgHost);
  } catch (...) {
    Fail("Saving the settings", std::current_exception());
  }
}

void TMainController::TabsKeyPressed() noexcept {
  try {
    if (!view_.TabsVisible()) view_.SetTabsVisible(true);
  } catch (...) {
    Fail("Showing the tabs", std::current_exception());
  }
}

void TMainController::OnOtherInstance(const std::vector<std::string>& params) noexcept {
  try {
    if (!params.empty() && params.front() == "exit") {
      Stop();
      return;
    }
    if (!view_.TrayIconVisible()) view_.SetTrayIconVisible(true);
    if (view_.IsHiddenToTray()) view_.ShowFromTray();
  } catch (...) {
    Fail("Another start of the program", std::current_exception());
  }
}

void TMainController::BeforeThreadDialog(const TThreadDialogBase& dialog) noexcept {
  try {
    const auto* message = dynamic_cast<const TThreadMessageDlg*>(&dialog);
    const bool asking = message && message->RaisedByWindow;
    if (asking) {
      showedForDialog_ = !view_.LastActiveWindowVisible();
      if (showedForDialog_) view_.ShowFromTray();
    }
    if (!(asking && showedForDialog_)) view_.BringToFront();
  } catch (const std::exception& error) {
    LogException(this, "Before a dialog", error);
  }
}

void TMainController::AfterThreadDialog(const TThreadDialogBase& /*dialog*/) noexcept {
  try {
    if (!showedForDialog_) return;
    showedForDialog_ = false;
    view_.HideToTray();
  } catch (const std::exception& error) {
    LogException(this, "After a dialog", error);
  }
}

void TMainController::Fail(std::string_view context, std::exception_ptr error) noexcept {
  try {
    std::rethrow_exception(std::move(error));
  } catch (const std::exception& e) {
    LogException(this, context, e);
    try {
      ThreadMessageDlg(ApplicationTitle(), std::string(context) + ": " + e.what(), mtError, {mbOK});
    } catch (const std::exception& shown) {
      LogException(this, "Showing an error", shown);
    }
  } catch (...) {
    WriteLog(this, std::string(context) + ": unknown exception", 0);
  }
}

}  // namespace dravik
