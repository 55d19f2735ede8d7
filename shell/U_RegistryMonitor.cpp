#include "U_RegistryMonitor.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <mutex>
#include <string_view>
#include <utility>

#include "DomainList.h"
#include "U_LogFile.h"
#include "U_ThreadDialogs.h"

namespace dravik {

namespace {

constexpr std::string_view kProxyOverride = "ProxyOverride";
constexpr std::string_view kProxyEnable = "ProxyEnable";
// How often a wait on the main thread looks at the dialog queue and the thread's end.
constexpr std::int64_t kServeSliceMs = 20;

std::string Quoted(std::string_view name) { return "'" + std::string(name) + "'"; }

}  // namespace

std::string RootKeyToString(HKEY rootKey) {
  switch (rootKey) {
    case HKEY_CLASSES_ROOT:
      return "HKEY_CLASSES_ROOT";
    case HKEY_CURRENT_USER:
      return "HKCU";
    case HKEY_LOCAL_MACHINE:
      return "HKLM";
    case HKEY_USERS:
      return "HKEY_USERS";
    case HKEY_PERFORMANCE_DATA:
      return "HKEY_PERFORMANCE_DATA";
    case HKEY_CURRENT_CONFIG:
      return "HKEY_CURRENT_CONFIG";
    case HKEY_DYN_DATA:
      return "HKEY_DYN_DATA";
    default:
      return "UNKNOWN(" + std::to_string(rootKey) + ")";
  }
}

TRegistry::TRegistry(std::string storeRoot) : storeRoot_(std::move(storeRoot)) {}

bool TRegistry::Open(std::string_view key, platform::TRegistryKey::TAccess access, bool create) {
  key_.Close();
  const std::string rootName = RootKeyToString(RootKey);
  if (rootName.starts_with("UNKNOWN(")) return false;
  const std::optional<std::string> folder = platform::RegistryKeyFolder(storeRoot_, rootName, key);
  return folder && key_.Open(*folder, access, create);
}

bool TRegistry::OpenKey(std::string_view key, bool canCreate) {
  return Open(key, platform::TRegistryKey::TAccess::Write, canCreate);
}

bool TRegistry::OpenKeyReadOnly(std::string_view key) {
  return Open(key, platform::TRegistryKey::TAccess::Read, false);
}

std::optional<platform::TRegValue> TRegistry::Find(std::string_view name) const {
  try {
    return key_.FindValue(name);
  } catch (const std::exception& error) {
    throw ERegistryException("Failed to get data for " + Quoted(name) + ": " + error.what());
  }
}

std::string TRegistry::ReadString(std::string_view name) const {
  const std::optional<platform::TRegValue> value = Find(name);
  if (!value) return {};
  if (value->Type != platform::TRegDataType::String)
    throw ERegistryException("Invalid data type for " + Quoted(name));
  return value->Text;
}

std::int32_t TRegistry::ReadInteger(std::string_view name) const {
  const std::optional<platform::TRegValue> value = Find(name);
  if (!value || value->Type != platform::TRegDataType::DWord)
    throw ERegistryException("Invalid data type for " + Quoted(name));
  return static_cast<std::int32_t>(value->DWord);
}

void TRegistry::Write(const platform::TRegValue& value) {
  try {
    key_.WriteValue(value);
  } catch (const std::exception& error) {
    throw ERegistryException("Failed to set data for " + Quoted(value.Name) + ": " + error.what());
  }
}

void TRegistry::WriteString(std::string_view name, std::string_view value) {
  Write({std::string(name), platform::TRegDataType::String, std::string(value), 0});
}

void TRegistry::WriteInteger(std::string_view name, std::int32_t value) {
  Write({std::string(name), platform::TRegDataType::DWord, {}, static_cast<std::uint32_t>(value)});
}

TRegMonThread::TRegMonThread(std::string storeRoot)
    : registry_(std::make_unique<TRegistry>(std::move(storeRoot))) {}

TRegMonThread::~TRegMonThread() {
  Stop();
  // The body uses this object: however long it takes, it must end before the object goes.
  if (!WaitFor(TProxyMonitor::kStopWaitMs) && thread_.joinable()) thread_.join();
  registry_->CloseKey();
}

void TRegMonThread::Start() {
  if (started_) return;
  started_ = true;
  thread_ = std::thread([this] { Execute(); });
}

void TRegMonThread::Stop() noexcept {
  terminated_.store(true);
  watch_.Stop();
}

bool TRegMonThread::WaitFor(std::int64_t timeoutMs) noexcept {
  if (!thread_.joinable()) return true;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  const bool mainThread = IsMainThread();
  for (;;) {
    {
      std::unique_lock lock(mutex_);
      if (mainThread) {
        if (finished_) break;
      } else if (finishedChanged_.wait_until(lock, deadline, [this] { return finished_; })) {
        break;
      }
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
    if (mainThread) {
      try {
        // The handler may be waiting for its question: answer it, or the thread never ends.
        ProcessPendingDialogs();
        WaitForDialogsOrTimeout(static_cast<int>(kServeSliceMs));
      } catch (const std::exception& error) {
        LogException(this, "Waiting for the registry monitor", error);
      }
    }
  }
  thread_.join();
  return true;
}

bool TRegMonThread::OpenKey() {
  registry_->RootKey = RootKey;
  if (registry_->OpenKeyReadOnly(Key)) return true;
  WriteLog(this, "Can not open registry!", 0);
  return false;
}

bool TRegMonThread::AttachNotify() {
  // Only the key itself can be watched; WatchSubtree stays false.
  if (!WatchSubtree && watch_.Arm(registry_->KeyFolder(), NotifyFilter)) {
    watching_.store(true);
    return true;
  }
  WriteLog(this, "Error attaching registry monitor!", 0);
  return false;
}

void TRegMonThread::DoChange() {
  if (OnChange) OnChange(*this);
}

void TRegMonThread::Execute() noexcept {
  try {
    if (OpenKey() && AttachNotify()) {
      WriteLog(this, "Starting registry monitor...", 2, RootKeyToString(RootKey) + "\\" + Key);
      for (;;) {
        if (terminated_.load()) {
          WriteLog(this, "Registry monitor stopped.", 2);
          break;
        }
        const platform::TKeyChangeWatch::TWake wake = watch_.Wait();
        if (wake == platform::TKeyChangeWatch::TWake::Changed) {
          watching_.store(false);
          registry_->CloseKey();
          watch_.Disarm();
          DoChange();
          if (!OpenKey() || !AttachNotify()) break;
        } else if (wake == platform::TKeyChangeWatch::TWake::Failed) {
          // A wait that fails once fails again: going round would only spin.
          WriteLog(this, "Error attaching registry monitor!", 0);
          break;
        }
      }
    }
  } catch (const std::exception& error) {
    LogException(this, "Registry monitor thread", error);
  } catch (...) {
    WriteLog(this, "Registry monitor thread: unknown exception", 0);
  }
  watching_.store(false);
  watch_.Disarm();
  std::lock_guard lock(mutex_);
  finished_ = true;
  finishedChanged_.notify_all();
}

std::string AppendProxyOverride(std::string_view value, std::string_view hostName) {
  std::string result(value);
  if (!result.empty() && result.back() != ';') result += ';';
  result += hostName;
  return result;
}

bool AskUser(const std::string& question) {
  TThreadMessageDlg dialog({}, question, mtConfirmation, {mbYes, mbNo});
  dialog.RaisedByWindow = true;
  ExecuteInMainThread(dialog);
  return dialog.Result == mrYes;
}

// The check, shared with the watcher's handler so that a watcher left running after a stop
// that timed out never reaches a freed monitor. Its records carry the main window as their
// sender, which the monitor names at start and forgets at stop.
class TProxyOverrideCheck final {
 public:
  TProxyOverrideCheck(std::string hostName, std::string storeRoot, TProxyMonitor::TAskUser askUser)
      : hostName_(std::move(hostName)),
        storeRoot_(std::move(storeRoot)),
        askUser_(std::move(askUser)) {}

  // Main thread.
  void SetWindow(const TKvObject* window) noexcept {
    std::lock_guard lock(windowLock_);
    window_ = window;
  }

  // Runs on the main thread at start and on the watcher's thread after a change.
  void Run(const TKvObject* sender) const {
    TRegistry registry(storeRoot_);
    registry.RootKey = HKEY_CURRENT_USER;
    if (!registry.OpenKeyReadOnly(kInternetSettingsKey)) return;
    const std::string overrides = registry.ReadString(kProxyOverride);
    const std::int32_t enabled = registry.ReadInteger(kProxyEnable);
    if (enabled != 1 || overrides.find(hostName_) != std::string::npos) return;

    Log("Domain not found in proxy overrides!");
    std::string question = sender ? "Изменились настройки исключений прокси.\r\n" : "";
    question += "Добавить криптоплагин в список исключений прокси?";
    if (!askUser_(question)) return;

    Log("Adding domain to proxy overrides...");
    registry.CloseKey();
    if (!registry.OpenKey(kInternetSettingsKey, false)) return;
    try {
      // The question may have been open for a while: add to the exceptions as they are now.
      const std::string current = registry.ReadString(kProxyOverride);
      if (current.find(hostName_) == std::string::npos)
        registry.WriteString(kProxyOverride, AppendProxyOverride(current, hostName_));
    } catch (const std::exception& error) {
      // Under the lock, so that the window cannot go while its name is written.
      std::lock_guard lock(windowLock_);
      LogException(window_, "Adding domain to proxy overrides", error);
    }
  }

 private:
  void Log(std::string_view text) const {
    std::lock_guard lock(windowLock_);
    WriteLog(window_, text, 2);
  }

  mutable std::mutex windowLock_;
  const TKvObject* window_ = nullptr;
  const std::string hostName_;
  const std::string storeRoot_;
  const TProxyMonitor::TAskUser askUser_;
};

TProxyMonitor::TProxyMonitor(std::string hostName, std::string storeRoot, TAskUser askUser)
    : storeRoot_(storeRoot),
      check_(std::make_shared<TProxyOverrideCheck>(std::move(hostName), std::move(storeRoot),
                                                   std::move(askUser))) {}

TProxyMonitor::~TProxyMonitor() { StopProxyMonitor(); }

std::string TProxyMonitor::DefaultHostName() { return std::string(kServerHostName); }

void TProxyMonitor::CheckProxyOverride(const TKvObject* sender) { check_->Run(sender); }

void TProxyMonitor::StartProxyMonitor(const TKvObject& window) noexcept {
  if (regMonitor_) return;
  check_->SetWindow(&window);
  try {
    CheckProxyOverride(nullptr);
    auto monitor = std::make_unique<TRegMonThread>(storeRoot_);
    monitor->Key = std::string(kInternetSettingsKey);
    monitor->OnChange = [check = check_](TRegMonThread& sender) { check->Run(&sender); };
    regMonitor_ = std::move(monitor);
    regMonitor_->Start();
  } catch (const std::exception& error) {
    LogException(this, "Starting the proxy monitor", error);
  }
}

void TProxyMonitor::StopProxyMonitor() noexcept {
  // Also a watcher left behind below must not name a window that may go now.
  check_->SetWindow(nullptr);
  if (!regMonitor_) return;
  regMonitor_->Stop();
  if (!regMonitor_->WaitFor(kStopWaitMs)) {
    // Freeing a running thread's object is not possible; it ends by itself once free.
    WriteLog(this, "The registry monitor did not stop in time; it is left behind.", 0);
    static_cast<void>(regMonitor_.release());
    return;
  }
  regMonitor_.reset();
}

}  // namespace dravik
