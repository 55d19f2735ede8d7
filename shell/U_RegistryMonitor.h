// The proxy settings monitor: keeps the server's own host name among the proxy exceptions
// of the user's Internet settings, with the user's consent, checking once at start and again
// after every change of the settings key, which a watcher thread reports.
//
// The registry is our own store (platform/Registry.h). TRegistry is the access object the
// checks use; TRegMonThread is a general watcher of one key; TProxyMonitor is the program's
// monitor, the seam the main window starts and stops.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "KvObject.h"
#include "Registry.h"
#include "U_AppSeams.h"

namespace dravik {

DRAVIK_EXCEPTION(ERegistryException, Exception);

// The root keys, numbered as the system numbers them; each names a folder of the store.
using HKEY = std::uintptr_t;
inline constexpr HKEY HKEY_CLASSES_ROOT = 0x80000000;
inline constexpr HKEY HKEY_CURRENT_USER = 0x80000001;
inline constexpr HKEY HKEY_LOCAL_MACHINE = 0x80000002;
inline constexpr HKEY HKEY_USERS = 0x80000003;
inline constexpr HKEY HKEY_PERFORMANCE_DATA = 0x80000004;
inline constexpr HKEY HKEY_CURRENT_CONFIG = 0x80000005;
inline constexpr HKEY HKEY_DYN_DATA = 0x80000006;

// "HKCU" for the current user, "HKLM", the full names of the others, and
// "UNKNOWN(<handle in decimal>)" for any other handle.
std::string RootKeyToString(HKEY rootKey);

// The key of the Internet settings below HKEY_CURRENT_USER, with its trailing backslash.
inline constexpr std::string_view kInternetSettingsKey =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\";

// Access to one key of the store at a time. Not shared between threads.
class TRegistry : public TKvObject {
 public:
  // The store's root folder; RegistryRoot() unless a test gives its own.
  explicit TRegistry(std::string storeRoot = platform::RegistryRoot());
  DRAVIK_CLASS_NAME(TRegistry)

  HKEY RootKey = HKEY_CURRENT_USER;

  // Opens the key below RootKey, for writing, creating it with canCreate; false when that
  // fails (a root key of no name, a missing key, no write access).
  bool OpenKey(std::string_view key, bool canCreate);
  bool OpenKeyReadOnly(std::string_view key);
  void CloseKey() noexcept { key_.Close(); }
  bool KeyOpen() const noexcept { return key_.IsOpen(); }
  // The open key's folder in the store.
  const std::string& KeyFolder() const noexcept { return key_.Folder(); }

  // The text of a string value, "" when the value is missing. Throws ERegistryException
  // ("Invalid data type for '<name>'") when the value is not a string, or when the key's
  // values cannot be read.
  std::string ReadString(std::string_view name) const;
  // A 32-bit number value; throws ERegistryException when it is missing or not a number.
  std::int32_t ReadInteger(std::string_view name) const;
  // Throws ERegistryException ("Failed to set data for '<name>'") when no key is open for
  // writing or the write fails.
  void WriteString(std::string_view name, std::string_view value);
  void WriteInteger(std::string_view name, std::int32_t value);

 private:
  bool Open(std::string_view key, platform::TRegistryKey::TAccess access, bool create);
  std::optional<platform::TRegValue> Find(std::string_view name) const;
  void Write(const platform::TRegValue& value);

  std::string storeRoot_;
  platform::TRegistryKey key_;
};

// Watches one key and reports every change of it through OnChange, on the watcher's own
// thread; the key is closed while OnChange runs and watched again only after it returned, so
// a write of the handler, or of anyone meanwhile, is not reported.
class TRegMonThread : public TKvObject {
 public:
  using TOnChange = std::function<void(TRegMonThread& sender)>;

  // The registry object and both events, RootKey HKEY_CURRENT_USER, the key itself only
  // (no subtree), changes of names and values. The owner sets Key and OnChange, then
  // calls Start. Throws std::system_error when the stop event cannot be made.
  explicit TRegMonThread(std::string storeRoot = platform::RegistryRoot());
  // Stops the thread and waits for it.
  ~TRegMonThread() override;
  TRegMonThread(const TRegMonThread&) = delete;
  TRegMonThread& operator=(const TRegMonThread&) = delete;
  DRAVIK_CLASS_NAME(TRegMonThread)

  HKEY RootKey = HKEY_CURRENT_USER;
  std::string Key;
  const bool WatchSubtree = false;
  const std::uint32_t NotifyFilter =
      platform::TKeyChangeWatch::kNotifyNames | platform::TKeyChangeWatch::kNotifyValues;
  TOnChange OnChange;

  // Runs Execute on a new thread; once only. Main thread.
  void Start();
  // Asks the thread to end and wakes it; any thread.
  void Stop() noexcept;
  // Waits up to timeoutMs for the thread to end, serving the dialog bridge meanwhile when
  // called on the main thread (OnChange may be waiting for a question there); true once it
  // has ended (also when it never started).
  bool WaitFor(std::int64_t timeoutMs) noexcept;
  bool Terminated() const noexcept { return terminated_.load(); }
  // True while the key is watched: from each arming until the next change is reported.
  bool Watching() const noexcept { return watching_.load(); }

 protected:
  bool OpenKey();
  bool AttachNotify();
  void DoChange();
  // The thread body: watch, report, re-arm, until stopped or a failure.
  void Execute() noexcept;

 private:
  std::unique_ptr<TRegistry> registry_;
  platform::TKeyChangeWatch watch_;
  std::atomic<bool> terminated_{false};
  std::atomic<bool> watching_{false};
  std::mutex mutex_;
  std::condition_variable finishedChanged_;
  bool finished_ = false;
  bool started_ = false;
  std::thread thread_;
};

// The proxy exceptions with the host name added, behind a ';' unless the text is empty or
// already ends with one.
std::string AppendProxyOverride(std::string_view value, std::string_view hostName);

// Asks a Yes/No question as a question of the main window, through the dialog bridge; true
// on Yes. Any thread.
bool AskUser(const std::string& question);

class TProxyOverrideCheck;

// The program's proxy monitor. Start and Stop run on the main thread.
class TProxyMonitor final : public TKvObject, public IProxyMonitorSeam {
 public:
  using TAskUser = std::function<bool(const std::string& question)>;
  // How long StopProxyMonitor waits for the watcher before leaving it behind.
  static constexpr std::int64_t kStopWaitMs = 5000;

  explicit TProxyMonitor(std::string hostName = DefaultHostName(),
                         std::string storeRoot = platform::RegistryRoot(),
                         TAskUser askUser = &AskUser);
  ~TProxyMonitor() override;
  DRAVIK_CLASS_NAME(TProxyMonitor)

  static std::string DefaultHostName();

  // The check at start, then the watcher; nothing when a watcher exists, also one whose
  // thread ended by a failure. The check's records name `window` as their sender.
  void StartProxyMonitor(const TKvObject& window) noexcept override;
  // Stops the watcher and waits for it, within kStopWaitMs; nothing when none exists.
  void StopProxyMonitor() noexcept override;

  // The check and its question; sender is null at start and the watcher after a change.
  // Runs on the calling thread; the question goes to the main thread. Throws
  // ERegistryException when the values read are missing or of the wrong type.
  void CheckProxyOverride(const TKvObject* sender);

  TRegMonThread* RegMonitor() const noexcept { return regMonitor_.get(); }

 private:
  std::string storeRoot_;
  std::shared_ptr<TProxyOverrideCheck> check_;
  std::unique_ptr<TRegMonThread> regMonitor_;
};

}  // namespace dravik
