// The plugin host: the one object that ties the local signing service together. It owns
// the settings, loads the crypto plugin library and passes JSON plugin commands to it,
// starts and stops the HTTP and HTTPS listeners, records the time of the last accepted
// connection and builds the status text of the main window. It also serves the plain
// command channel, POST "/", through which trusted pages send raw plugin commands.
//
// Lifetime: the main window creates the host and installs it with SetPluginHost; the
// module's finalisation empties PluginHost first and then lets the host go. Callers on
// other threads take a shared reference with PluginHost() and hold it while they use the
// host, so a host is never freed under a running call.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

#include "KvDateTime.h"
#include "KvObject.h"
#include "KvStringList.h"

namespace dravik {

class THostSettings;
class ThttpDaemon;
class TsslDaemon;

// The guard of the plain command channel. The plugin library asks nobody before it uses a
// key, so a raw command from a page passes only when it is on an allowlist: the library's
// version query, creating an engine, and the harmless methods of an engine that this
// channel itself created. Commands are read with the decoder the library itself uses,
// refusing duplicate members and text after the object. Any thread.
class TPlainCommandGuard {
 public:
  // The live engines a page may hold at once, so that pages cannot fill the library's
  // engine table, which the host's own key sessions share.
  static constexpr std::size_t kMaxEngines = 256;

  explicit TPlainCommandGuard(std::size_t maxEngines = kMaxEngines) : maxEngines_(maxEngines) {}

  // What the guard made of one command.
  struct TAdmission {
    bool Allowed = false;
    bool CreatesEngine = false;    // it holds a slot for the engine its reply is to name
    std::string Reason;            // why it was refused; a fixed text, never command data
    std::uint64_t Generation = 0;  // of the guard's engine list, when it creates one
  };

  // Decides about one command. A command that creates an engine takes its slot here, so that
  // commands in flight at once never pass the limit together; admitting a "Release" forgets
  // its engine at once, so that no later command can name it.
  TAdmission Admit(std::string_view command);
  // Ends an admitted command: the engine that a creating command's reply names fills its
  // slot; a reply naming none (a failure; "" when the command failed) gives the slot back,
  // and so does the end of a command whose library was unloaded meanwhile. Called once for
  // every admitted command, whatever its outcome.
  void CommandEnded(const TAdmission& admission, std::string_view reply) noexcept;
  // Forgets every engine and every slot held (the library that held them is gone).
  void Clear() noexcept;
  bool OwnsEngine(const std::string& id) const;

 private:
  const std::size_t maxEngines_;
  mutable std::mutex lock_;
  std::set<std::string> engines_;
  std::size_t reserved_ = 0;  // slots of creating commands in flight
  // Counts the Clear calls, so that an engine or a slot of a library unloaded meanwhile is
  // not kept.
  std::uint64_t generation_ = 0;
};

// The body of the plain channel's refusal, sent with status 401.
inline constexpr std::string_view kPlainCommandRefusal =
    R"({ "code" : "100", "text" : "Пользователь отказал в доступе к ключам" })";

class TPluginHost : public TKvObject {
 public:
  // The library's file name, looked for in the library folders.
  static constexpr std::string_view kLibraryName = "npDravikPluginZRT.so";

  // Creates the settings on the program's ini file and loads them; the library is looked
  // for in the program's folder first. Nothing is loaded or started.
  TPluginHost();
  // The same on the given ini file, with the library looked for in `libraryFolders` first
  // (the program's folder when the list is empty).
  explicit TPluginHost(std::string iniFileName, std::vector<std::string> libraryFolders = {});
  TPluginHost(const TPluginHost&) = delete;
  TPluginHost& operator=(const TPluginHost&) = delete;
  // Stops the servers, withdraws the entry-point table from the library manager and
  // detaches its sinks; does not unload the library.
  ~TPluginHost() override;
  DRAVIK_CLASS_NAME(TPluginHost)

  THostSettings& Settings() noexcept { return *settings_; }
  const THostSettings& Settings() const noexcept { return *settings_; }
  // The local time of the last accepted connection; 0 until the first. Any thread.
  TDateTime LastConnect() const noexcept { return lastConnect_.load(std::memory_order_relaxed); }

  // Loads the library and resolves its four entry points, then initialises it. False when
  // it cannot be loaded or lacks an entry point; no entry point is then set, and a library
  // that did load stays counted until UnloadPluginLibrary. Waits for running commands.
  bool LoadPluginLibrary();
  // Shuts the library down and releases it; the entry points become empty at its last use.
  bool UnloadPluginLibrary();
  bool IsLibraryLoaded() const;
  std::string GetLibraryPath() const;     // the loaded library's full file name, else ""
  std::string GetLibraryVersion() const;  // its FileVersion, else ""

  // Passes one command to the library in its two phases and gives its reply as it came.
  // `logIt` puts the command and the reply texts into the log as details. False, with the
  // error logged, when the library is not loaded or a phase fails; a reply that phase 1
  // sized stays in `reply` then. Any thread, any number at once.
  bool ProcessCommand(const std::string& command, std::string& reply, bool logIt);

  // Creates the HTTPS and then the HTTP listener on the settings' ports. False at once when
  // they run already, or when creating them failed (logged). Binding happens later, on
  // each listener's thread.
  bool StartServers();
  // Stops and frees both listeners; connection threads still serving are left to end.
  void StopServers() noexcept;
  // Whether both listener objects exist, whatever state their threads are in.
  bool IsServerRunning() const;
  // What the listeners' threads made of their ports: kFailed once one of them has ended
  // without listening (its port could not be bound), kPending while one has neither bound
  // its port nor ended (also while a listener object is missing), else kBound.
  enum class TListenersBind { kPending, kBound, kFailed };
  TListenersBind ListenersBind() const;
  // The listeners' connection event: records the time. Called on a listener's thread.
  void DoConnect(ThttpDaemon& sender) noexcept;

  // The "Server" reply header's value: the program's file name without folder and
  // extension, "/", and the program's file version. Needs no host object.
  static std::string GetServerName();
  // The program's own file version, read once: it cannot change while the program runs.
  static const std::string& GetOwnVersion();
  // The status page of the main window, lines joined by CR LF.
  std::string GetStatusText() const;

  // The plain command channel's guard.
  TPlainCommandGuard& PlainCommandGuard() noexcept { return plainGuard_; }

 private:
  bool IsServerRunningLocked() const noexcept;
  void ClearEntryPoints() noexcept;
  void AttachLibrarySinks();
  static void DetachLibrarySinks() noexcept;

  std::unique_ptr<THostSettings> settings_;
  std::atomic<TDateTime> lastConnect_{TDateTime()};

  // Written by the library manager during loads and unloads, which take libraryLock_
  // exclusively; read by commands under the shared lock, so the library is never unloaded
  // under a running call.
  mutable std::shared_mutex libraryLock_;
  void* wsInitialize_ = nullptr;
  void* wsExecute_ = nullptr;
  void* wsExecuteEx_ = nullptr;
  void* wsShutdown_ = nullptr;
  std::vector<void**> procPoints_;
  TStringList libraryFolders_;

  mutable std::mutex serversLock_;  // the listener objects
  std::unique_ptr<ThttpDaemon> httpDaemon_;
  std::unique_ptr<TsslDaemon> sslDaemon_;

  TPlainCommandGuard plainGuard_;
};

// The one plugin host, or null before the main window installs it and after the module's
// finalisation. Hold the reference while using the host. Any thread.
std::shared_ptr<TPluginHost> PluginHost() noexcept;
// Installs the host (or empties the global with null) and gives back the one it replaced.
std::shared_ptr<TPluginHost> SetPluginHost(std::shared_ptr<TPluginHost> host) noexcept;

// The route handler of POST "/": after the origin check, a command the guard admits goes
// to the library byte for byte and its reply comes back as it came, with 200; a refused
// one gets 401 and kPlainCommandRefusal. Throws when there is no plugin host.
void PluginCommandProcessor(const std::string& method, const std::string& uri,
                            const std::string& data, TStringList& headers, std::string& reply,
                            std::int32_t& result);

// The program's file name without folder.
std::string GetExeName();
// The program's file name, with its folder when `withFolder` is set, its extension replaced
// by `extension` (a '.' put in front when it lacks one; empty drops the extension).
std::string ChangeExeFileExt(std::string_view extension, bool withFolder);

// Registers POST "/" and makes the host's trusted-domain list the one the routes check
// against. Called after InitWebServer.
void InitPluginHost();
// Withdraws the domain list, empties PluginHost, stops the host's servers and lets the
// host go: it is freed here unless a connection thread still holds it, which then frees it.
void FinalizePluginHost() noexcept;

}  // namespace dravik
