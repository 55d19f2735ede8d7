// The self-update: a thread that looks once an hour at the update endpoint, downloads the
// installer of a newer release, checks its version and starts it; and the shared state: the
// flag that turns API requests into 423 while an update check or download runs, the last
// update error shown to the user, and the message that tells the user why a request was
// refused.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "KvClock.h"
#include "KvDateTime.h"
#include "KvJSONPersistent.h"
#include "KvObject.h"
#include "U_AppHooks.h"
#include "U_AppSeams.h"

namespace dravik {

enum class TAutoUpdateError {
  errNone,
  errGetManifest,
  errParseManifest,
  errGetInstaller,
  errCheckInstaller,
  errRunInstaller,
};

// The text the error message shows for each kind.
std::string_view AutoUpdateErrorText(TAutoUpdateError error) noexcept;

// Written by the update thread only; read by every API request.
extern constinit std::atomic<bool> UpdateInProgress;
// Set by the update thread when it shows an error to the user; never reset.
extern constinit std::atomic<TAutoUpdateError> LastUpdateError;

// The update state the API reads through host/U_AppHooks.h. In test-hook builds the
// environment variable DRAVIK_TEST_UPDATE_IN_PROGRESS=1 holds UpdateInProgress set, so that
// the refusals can be tested before a real update runs.
class TAutoUpdateState final : public IUpdateState {
 public:
  bool UpdateInProgress() const noexcept override;
  // The update note, or the last update error once one was shown, as a message box on the
  // main thread; the caller waits until it is closed. Any thread.
  void ShowUpdateMessage() override;
};

// Reads the test-hook switch (a no-op in other builds) and registers the state; call once at
// start, before the listeners run.
void InitAutoUpdateState();
void FinalizeAutoUpdateState() noexcept;

// The packed form of a dotted version: four 16-bit fields, the first part in the highest.
// Each part is read as a decimal int32 (0 when it is not one) and its low 16 bits kept;
// missing parts are 0. A text of more than four parts is no version of this form and packs
// to 0, which never equals the version of a newer release.
std::uint64_t VersionToInt64(std::string_view text) noexcept;

// The manifest the update endpoint serves.
class TUpdateManifest final : public TjsonPersistent {
 public:
  DRAVIK_CLASS_NAME(TUpdateManifest)
  void Publish(TjsonPropertyVisitor& visitor) override;
  std::string minimalDravikPluginVersion;
};

// Where updates come from and how they are fetched.
struct TUpdateEndpoint {
  std::string ManifestUrl;
  std::string InstallerUrl;
  // The CA certificates the server's certificate must chain to; empty: the system's.
  std::string CaFile;
  // Lets plain http reach a loopback address; honoured in test-hook builds only.
  bool AllowLoopbackHttp = false;
};

// The manifest and installer addresses below a base address such as "https://host:port".
TUpdateEndpoint UpdateEndpointAt(std::string_view baseUrl);
// The endpoint the program uses: the build's update server (DRAVIK_UPDATE_URL). In test-hook
// builds instead the test's, from DRAVIK_TEST_UPDATE_URL with DRAVIK_TEST_UPDATE_CA, and
// nullopt when that is unset, so that no test checks for updates by accident.
std::optional<TUpdateEndpoint> ConfiguredUpdateEndpoint();

// The downloads of the update. Any thread; each call is independent.
class IUpdateTransport {
 public:
  virtual ~IUpdateTransport() = default;
  // A GET of the address. resultCode: -1 when there was no complete exchange (also a refused
  // address, a body over the limit, a time-out or the stop), else the reply's status. True
  // for a status from 100 to 299, when the body has gone to the text or the file; redirections
  // count as failures. A failed call leaves the text empty.
  virtual bool HttpGetToString(const std::string& url, std::string& text, int& resultCode,
                               std::stop_token stop) = 0;
  virtual bool HttpGetToFile(const std::string& url, int fd, int& resultCode,
                             std::stop_token stop) = 0;
};

// Downloads over HTTPS with libcurl: no proxy, no redirections, the peer's certificate and
// host name verified, TLS 1.2 or later, bounded sizes and times.
class TCurlTransport final : public IUpdateTransport {
 public:
  static constexpr std::int64_t kMaxManifestBytes = 64 * 1024;
  static constexpr std::int64_t kMaxInstallerBytes = std::int64_t{512} * 1024 * 1024;
  static constexpr long kConnectTimeoutMs = 30'000;
  static constexpr long kManifestTimeoutMs = 60'000;
  static constexpr long kInstallerTimeoutMs = 30 * 60'000;
  // A transfer slower than this many bytes a second over kLowSpeedSeconds is given up.
  static constexpr long kLowSpeedBytes = 1024;
  static constexpr long kLowSpeedSeconds = 60;

  explicit TCurlTransport(TUpdateEndpoint endpoint);

  bool HttpGetToString(const std::string& url, std::string& text, int& resultCode,
                       std::stop_token stop) override;
  bool HttpGetToFile(const std::string& url, int fd, int& resultCode,
                     std::stop_token stop) override;

  // Whether the address may be fetched: https, or in test-hook builds with AllowLoopbackHttp
  // http to 127.0.0.1, ::1 or localhost.
  bool UrlAllowed(const std::string& url) const;

  using TSink = std::function<bool(std::string_view bytes)>;
  // The common download: the body goes to the sink only for a status from 100 to 299.
  bool HttpGetToStream(const std::string& url, const TSink& sink, std::int64_t maxBytes,
                       long timeoutMs, int& resultCode, std::stop_token stop);

 private:
  TUpdateEndpoint endpoint_;
};

// Starts the downloaded installer.
class IInstallerLauncher {
 public:
  virtual ~IInstallerLauncher() = default;
  // Starts the program with the parameters, hidden, and returns without waiting; true when
  // it was started, else false with the reason in `cause`.
  virtual bool RunHidden(const std::string& fileName, const std::vector<std::string>& parameters,
                         std::string& cause) = 0;
};

// posix_spawn of the file itself (no shell), in a session of its own, its output discarded,
// its folder as working folder.
class TSpawnLauncher final : public IInstallerLauncher {
 public:
  bool RunHidden(const std::string& fileName, const std::vector<std::string>& parameters,
                 std::string& cause) override;
};

// What an update thread works with; all must outlive it.
struct TUpdateContext {
  const IClock* Clock = nullptr;
  IUpdateTransport* Transport = nullptr;
  IInstallerLauncher* Launcher = nullptr;
  TUpdateEndpoint Endpoint;
  // The file whose version block gives the program's own version.
  std::string OwnFile;
  // The folder of the installer's temporary file; empty: platform::TempDir().
  std::string TempDir;
  // Shows the update note or error; empty: TAutoUpdateState::ShowUpdateMessage.
  std::function<void()> ShowMessage;
};

// The thread that checks once an hour and starts the installer of a newer release.
class TUpdateThread : public TKvObject {
 public:
  static constexpr std::int64_t kCheckIntervalMs = 60 * 60 * 1000;
  // How often the loop looks at the wall clock between checks.
  static constexpr std::int64_t kPollMs = 1000;
  static constexpr std::string_view kManifestPath = "/win-download/DravikPluginUpdateManifest.json";
  static constexpr std::string_view kInstallerPath = "/win-download/DravikPluginSetupZRT.exe";
  static constexpr std::string_view kInstallerPrefix = "DravikPluginSetupZRT";

  explicit TUpdateThread(TUpdateContext context);
  // Stops the thread and waits for it.
  ~TUpdateThread() override;
  TUpdateThread(const TUpdateThread&) = delete;
  TUpdateThread& operator=(const TUpdateThread&) = delete;
  DRAVIK_CLASS_NAME(TUpdateThread)

  // Runs Execute on a new thread; once only.
  void Start();
  // Ends waits and downloads at once; any thread.
  void Stop() noexcept;
  // Waits up to timeoutMs of real time for the thread to end; true once it has (also when it
  // never started).
  bool WaitFor(std::int64_t timeoutMs) noexcept;

  // The thread body: the hourly loop until the installer was started or a stop.
  void Execute(std::stop_token stop) noexcept;
  // One check: the manifest, and for a newer version the installer, checked and started.
  // True when the installer was started.
  bool CheckForUpdate(std::stop_token stop);
  bool GetManifestVersion(std::uint64_t& version, std::stop_token stop);
  bool DownloadInstaller(std::string& fileName, std::uint64_t version, std::stop_token stop);
  // An error record, with `detail` as its one parameter when given; unless quiet (or
  // stopping), the error kind kept and shown to the user.
  void ReportUpdateError(std::string_view text, TAutoUpdateError kind, bool quiet,
                         std::stop_token stop, std::string_view detail = {});

  // The installer's parameters for an unattended run without any window.
  static const std::vector<std::string>& InstallerParameters();

  // Written by the thread only; read them once it has ended.
  TDateTime LastCheck;
  std::uint64_t OwnVersion = 0;
  std::string ManifestText;

 private:
  TUpdateContext context_;
  std::stop_source stopSource_;
  std::mutex mutex_;
  std::condition_variable finishedChanged_;
  bool finished_ = false;
  bool started_ = false;
  std::thread thread_;
};

// The program's self-update, started once by the main window.
class TAutoUpdate final : public IAutoUpdateSeam {
 public:
  using TThreadFactory = std::function<std::unique_ptr<TUpdateThread>()>;
  // How long StopAutoUpdate waits for the thread before leaving it behind.
  static constexpr std::int64_t kStopWaitMs = 5000;

  // The program's thread: the configured endpoint over TCurlTransport, TSpawnLauncher, the
  // program's own file; in test-hook builds the clock runs DRAVIK_TEST_CLOCK_SPEED times
  // faster when that is set.
  TAutoUpdate();
  // A thread from the factory; a factory giving null leaves the checks off.
  explicit TAutoUpdate(TThreadFactory factory);
  ~TAutoUpdate() override;
  TAutoUpdate(const TAutoUpdate&) = delete;
  TAutoUpdate& operator=(const TAutoUpdate&) = delete;

  // "AutoUpdate starting ..." and the thread; once only. Main thread.
  void StartAutoUpdate() noexcept override;
  // Stops the thread, waiting for it within kStopWaitMs. Main thread.
  void StopAutoUpdate() noexcept override;

  TUpdateThread* Thread() const noexcept { return thread_.get(); }

 private:
  TThreadFactory factory_;
  std::unique_ptr<IClock> clock_;
  std::unique_ptr<IUpdateTransport> transport_;
  std::unique_ptr<IInstallerLauncher> launcher_;
  std::unique_ptr<TUpdateThread> thread_;
  bool started_ = false;
};

}  // namespace dravik
