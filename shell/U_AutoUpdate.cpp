#include "U_AutoUpdate.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <system_error>
#include <utility>

#include "DravikConfig.h"
#include "Environment.h"
#include "KvCommonUtils.h"
#include "KvSysTools.h"
#include "KvText.h"
#include "Spawn.h"
#include "U_LogFile.h"
#include "U_ThreadDialogs.h"

#ifndef DRAVIK_UPDATE_URL
#define DRAVIK_UPDATE_URL "https://update.dravik.invalid"
#endif

namespace dravik {

constinit std::atomic<bool> UpdateInProgress{false};
constinit std::atomic<TAutoUpdateError> LastUpdateError{TAutoUpdateError::errNone};

namespace {

constinit std::atomic<bool> heldByTestHook{false};
// Whether curl_global_init ran, and whether a thread that may still use libcurl was left
// behind by a stop that timed out (then the library is not torn down).
constinit std::atomic<bool> curlReady{false};
constinit std::atomic<bool> threadLeftBehind{false};

TAutoUpdateState& State() {
  static TAutoUpdateState state;
  return state;
}

}  // namespace

std::string_view AutoUpdateErrorText(TAutoUpdateError error) noexcept {
  switch (error) {
    case TAutoUpdateError::errNone:
      return "Нет ошибки";
    case TAutoUpdateError::errGetManifest:
      return "Ошибки возникли при получении манифеста обновления.";
    case TAutoUpdateError::errParseManifest:
      return "Ошибки возникли при разборе манифеста обновления.";
    case TAutoUpdateError::errGetInstaller:
      return "Ошибки возникли при получении инсталлятора обновления.";
    case TAutoUpdateError::errCheckInstaller:
      return "Ошибки возникли при проверке инсталлятора обновления.";
    case TAutoUpdateError::errRunInstaller:
      return "Ошибки возникли при запуске инсталлятора обновления.";
  }
  return {};
}

void TAutoUpdateState::ShowUpdateMessage() {
  const TAutoUpdateError error = LastUpdateError.load();
  if (error != TAutoUpdateError::errNone) {
    ThreadMessageDlg(ApplicationTitle() + " - Ошибка",
                     "Ошибка при попытке обновления крипто-плагина.\r\n" +
                         std::string(AutoUpdateErrorText(error)) +
                         "\r\nИсправьте ошибки и перезапустите крипто-плагин.",
                     TMsgDlgType::mtError, {TMsgDlgBtn::mbOK});
    return;
  }
  ThreadMessageDlg(ApplicationTitle() + " - Информация",
                   "Подождите, идет процесс обновления сервиса.\r\nЭто может занять несколько "
                   "минут...",
                   TMsgDlgType::mtInformation, {TMsgDlgBtn::mbOK});
}

bool TAutoUpdateState::UpdateInProgress() const noexcept {
  return heldByTestHook.load() || dravik::UpdateInProgress.load();
}

void InitAutoUpdateState() {
#if DRAVIK_TEST_HOOKS
  const char* hold = std::getenv("DRAVIK_TEST_UPDATE_IN_PROGRESS");
  heldByTestHook.store(hold && std::string_view(hold) == "1");
#endif
  SetUpdateState(&State());
  if (!curlReady.exchange(true)) curl_global_init(CURL_GLOBAL_DEFAULT);
}

void FinalizeAutoUpdateState() noexcept {
  SetUpdateState(nullptr);
  if (!threadLeftBehind.load() && curlReady.exchange(false)) curl_global_cleanup();
}

namespace {

using TCurlHandle = std::unique_ptr<CURL, decltype(&curl_easy_cleanup)>;
using TCurlUrl = std::unique_ptr<CURLU, decltype(&curl_url_cleanup)>;
using TCurlText = std::unique_ptr<char, decltype(&curl_free)>;

constexpr int kMaxVersionParts = 4;
constexpr int kInstallerNameCount = 100000;

struct TTransfer {
  CURL* curl = nullptr;
  const TCurlTransport::TSink* sink = nullptr;
  std::int64_t maxBytes = 0;
  std::int64_t received = 0;
  std::stop_token stop;
};

bool SuccessStatus(long status) { return status >= 100 && status <= 299; }

// Bodies of failed replies are counted but dropped; returning less than given aborts.
std::size_t OnCurlWrite(char* data, std::size_t size, std::size_t count, void* user) {
  auto& transfer = *static_cast<TTransfer*>(user);
  const std::size_t bytes = size * count;
  transfer.received += static_cast<std::int64_t>(bytes);
  if (transfer.received > transfer.maxBytes) return 0;
  long status = 0;
  curl_easy_getinfo(transfer.curl, CURLINFO_RESPONSE_CODE, &status);
  if (!SuccessStatus(status)) return bytes;
  try {
    return (*transfer.sink)(std::string_view(data, bytes)) ? bytes : 0;
  } catch (...) {
    return 0;
  }
}

int OnCurlProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return static_cast<TTransfer*>(user)->stop.stop_requested() ? 1 : 0;
}

bool WriteAllTo(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

std::string CurlPart(CURLU* url, CURLUPart part) {
  char* raw = nullptr;
  if (curl_url_get(url, part, &raw, 0) != CURLUE_OK || !raw) return {};
  const TCurlText text(raw, &curl_free);
  return text.get();
}

// The installer's temporary file: the first free "DravikPluginSetupZRTnnnnn.tmp" of the
// folder, created 0600 and exclusively, so no other file or link is ever written through.
struct TInstallerFile {
  int fd = -1;
  std::string name;
};

TInstallerFile CreateInstallerFile(const std::string& folder) {
  char number[8];
  for (int n = 0; n < kInstallerNameCount; ++n) {
    std::snprintf(number, sizeof number, "%05d", n);
    TInstallerFile file;
    file.name = folder + "/" + std::string(TUpdateThread::kInstallerPrefix) + number + ".tmp";
    file.fd = ::open(file.name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (file.fd >= 0) return file;
    if (errno != EEXIST)
      throw EFCreateError("Cannot create file \"" + file.name + "\". " + SysErrorMessage(errno));
  }
  throw EFCreateError("No free name for the installer in \"" + folder + "\"");
}

std::unique_ptr<IClock> MakeUpdateClock() {
#if DRAVIK_TEST_HOOKS
  if (const char* speed = std::getenv("DRAVIK_TEST_CLOCK_SPEED"); speed && *speed) {
    char* end = nullptr;
    const double value = std::strtod(speed, &end);
    if (end && *end == '\0') return std::make_unique<TSystemClock>(value);
  }
#endif
  return nullptr;
}

}  // namespace

std::uint64_t VersionToInt64(std::string_view text) noexcept {
  if (text.empty()) return 0;
  std::uint64_t packed = 0;
  int index = 0;
  for (std::size_t start = 0;; ++index) {
    if (index >= kMaxVersionParts) return 0;
    const std::size_t dot = text.find('.', start);
    const std::string_view part = text.substr(start, dot - start);
    std::int32_t value = 0;
    if (!TryParseInt(part, value)) value = 0;
    const auto field = static_cast<std::uint64_t>(static_cast<std::uint32_t>(value) & 0xFFFFu);
    packed |= field << (48 - 16 * index);
    if (dot == std::string_view::npos) break;
    start = dot + 1;
  }
  return packed;
}

void TUpdateManifest::Publish(TjsonPropertyVisitor& visitor) {
  TjsonPersistent::Publish(visitor);
  visitor.Text("minimalDravikPluginVersion", minimalDravikPluginVersion);
}

TUpdateEndpoint UpdateEndpointAt(std::string_view baseUrl) {
  while (!baseUrl.empty() && baseUrl.back() == '/') baseUrl.remove_suffix(1);
  TUpdateEndpoint endpoint;
  endpoint.ManifestUrl = std::string(baseUrl) + std::string(TUpdateThread::kManifestPath);
  endpoint.InstallerUrl = std::string(baseUrl) + std::string(TUpdateThread::kInstallerPath);
  return endpoint;
}

std::optional<TUpdateEndpoint> ConfiguredUpdateEndpoint() {
#if DRAVIK_TEST_HOOKS
  const char* url = std::getenv("DRAVIK_TEST_UPDATE_URL");
  if (!url || !*url) return std::nullopt;
  TUpdateEndpoint endpoint = UpdateEndpointAt(url);
  if (const char* ca = std::getenv("DRAVIK_TEST_UPDATE_CA")) endpoint.CaFile = ca;
  endpoint.AllowLoopbackHttp = true;
  return endpoint;
#else
  return UpdateEndpointAt(DRAVIK_UPDATE_URL);
#endif
}

TCurlTransport::TCurlTransport(TUpdateEndpoint endpoint) : endpoint_(std::move(endpoint)) {
#if !DRAVIK_TEST_HOOKS
  endpoint_.AllowLoopbackHttp = false;
#endif
}

bool TCurlTransport::UrlAllowed(const std::string& url) const {
  const TCurlUrl parsed(curl_url(), &curl_url_cleanup);
  if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK)
    return false;
  const std::string scheme = CurlPart(parsed.get(), CURLUPART_SCHEME);
  if (scheme == "https") return true;
  if (!endpoint_.AllowLoopbackHttp || scheme != "http") return false;
  const std::string host = CurlPart(parsed.get(), CURLUPART_HOST);
  return host == "127.0.0.1" || host == "[::1]" || SameText(host, "localhost");
}

bool TCurlTransport::HttpGetToStream(const std::string& url, const TSink& sink,
                                     std::int64_t maxBytes, long timeoutMs, int& resultCode,
                                     std::stop_token stop) {
  resultCode = 0;
  if (!UrlAllowed(url)) {
    resultCode = -1;
    return false;
  }
  const TCurlHandle curl(curl_easy_init(), &curl_easy_cleanup);
  if (!curl) {
    resultCode = -1;
    return false;
  }
  TTransfer transfer;
  transfer.curl = curl.get();
  transfer.sink = &sink;
  transfer.maxBytes = maxBytes;
  transfer.stop = stop;
  const char* protocols = endpoint_.AllowLoopbackHttp ? "http,https" : "https";
  CURL* c = curl.get();
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, protocols);
  curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, protocols);
  curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_PROXY, "");  // never a proxy, whatever the environment says
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(c, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
  if (!endpoint_.CaFile.empty()) {
    curl_easy_setopt(c, CURLOPT_CAINFO, endpoint_.CaFile.c_str());
    curl_easy_setopt(c, CURLOPT_CAPATH, nullptr);
  }
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, kConnectTimeoutMs);
  curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, timeoutMs);
  curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, kLowSpeedBytes);
  curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, kLowSpeedSeconds);
  curl_easy_setopt(c, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(maxBytes));
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &OnCurlWrite);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &transfer);
  curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, &OnCurlProgress);
  curl_easy_setopt(c, CURLOPT_XFERINFODATA, &transfer);

  if (curl_easy_perform(c) != CURLE_OK) {
    resultCode = -1;
    return false;
  }
  long status = 0;
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
  resultCode = static_cast<int>(status);
  return SuccessStatus(status);
}

bool TCurlTransport::HttpGetToString(const std::string& url, std::string& text, int& resultCode,
                                     std::stop_token stop) {
  std::string body;
  const TSink sink = [&body](std::string_view bytes) {
    body.append(bytes);
    return true;
  };
  const bool ok =
      HttpGetToStream(url, sink, kMaxManifestBytes, kManifestTimeoutMs, resultCode, stop);
  text = ok ? std::move(body) : std::string();
  return ok;
}

bool TCurlTransport::HttpGetToFile(const std::string& url, int fd, int& resultCode,
                                   std::stop_token stop) {
  const TSink sink = [fd](std::string_view bytes) { return WriteAllTo(fd, bytes); };
  return HttpGetToStream(url, sink, kMaxInstallerBytes, kInstallerTimeoutMs, resultCode, stop);
}

bool TSpawnLauncher::RunHidden(const std::string& fileName,
                               const std::vector<std::string>& parameters, std::string& cause) {
  const std::size_t slash = fileName.rfind('/');
  const std::string folder = slash == std::string::npos ? std::string()
                             : slash == 0               ? std::string("/")
                                                        : fileName.substr(0, slash);
  try {
    platform::SpawnDetached(fileName, parameters, folder);
    return true;
  } catch (const std::exception& error) {
    cause = "Exception " + std::string(ExceptionClassName(error)) + ": " + error.what();
    return false;
  }
}

TUpdateThread::TUpdateThread(TUpdateContext context) : context_(std::move(context)) {
  if (!context_.Clock || !context_.Transport || !context_.Launcher)
    throw Exception("TUpdateThread: a clock, a transport and a launcher are needed");
}

TUpdateThread::~TUpdateThread() {
  Stop();
  // The body uses this object: it must end before the object goes.
  if (thread_.joinable()) thread_.join();
}

void TUpdateThread::Start() {
  if (started_) return;
  started_ = true;
  thread_ = std::thread([this, stop = stopSource_.get_token()] { Execute(stop); });
}

void TUpdateThread::Stop() noexcept { stopSource_.request_stop(); }

bool TUpdateThread::WaitFor(std::int64_t timeoutMs) noexcept {
  if (!thread_.joinable()) return true;
  {
    std::unique_lock lock(mutex_);
    if (!finishedChanged_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                   [this] { return finished_; }))
      return false;
  }
  thread_.join();
  return true;
}

const std::vector<std::string>& TUpdateThread::InstallerParameters() {
  static const std::vector<std::string> parameters = {"--mode", "unattended", "--unattendedmodeui",
                                                      "none"};
  return parameters;
}

void TUpdateThread::Execute(std::stop_token stop) noexcept {
  bool launched = false;
  try {
    WriteLog(this, "AutoUpdate Started!", 5);
    LastCheck = TDateTime();
    OwnVersion = VersionToInt64(GetFileVersion(context_.OwnFile));
    const IClock& clock = *context_.Clock;
    while (!launched && !stop.stop_requested()) {
      // Either direction counts, so a clock put back by an hour or more checks at once.
      const std::int64_t sinceMs = DateTimeToUnixMs(clock.Now()) - DateTimeToUnixMs(LastCheck);
      if (sinceMs >= kCheckIntervalMs || sinceMs <= -kCheckIntervalMs)
        launched = CheckForUpdate(stop);
      else
        clock.WaitMs(kPollMs, stop);
    }
  } catch (const std::exception& error) {
    LogException(this, "AutoUpdate", error);
    if (!launched) UpdateInProgress.store(false);
  } catch (...) {
    WriteLog(this, "AutoUpdate: unknown exception", 0);
    if (!launched) UpdateInProgress.store(false);
  }
  std::lock_guard lock(mutex_);
  finished_ = true;
  finishedChanged_.notify_all();
}

bool TUpdateThread::CheckForUpdate(std::stop_token stop) {
  WriteLog(this, "AutoUpdate checking ...", 5);
  UpdateInProgress.store(true);
  LastCheck = context_.Clock->Now();
  bool launched = false;
  try {
    std::uint64_t version = 0;
    std::string fileName;
    if (GetManifestVersion(version, stop) && OwnVersion < version &&
        DownloadInstaller(fileName, version, stop)) {
      if (stop.stop_requested()) {
        // The program is ending: the next start checks again.
        ::unlink(fileName.c_str());
      } else {
        std::string cause;
        launched = context_.Launcher->RunHidden(fileName, InstallerParameters(), cause);
        if (!launched)
          ReportUpdateError("Error executing installer!", TAutoUpdateError::errRunInstaller, false,
                            stop, cause);
      }
    }
  } catch (...) {
    if (!launched) UpdateInProgress.store(false);
    throw;
  }
  if (!launched) UpdateInProgress.store(false);
  return launched;
}

bool TUpdateThread::GetManifestVersion(std::uint64_t& version, std::stop_token stop) {
  version = 0;
  int code = 0;
  if (!context_.Transport->HttpGetToString(context_.Endpoint.ManifestUrl, ManifestText, code,
                                           stop)) {
    ReportUpdateError("Error downloading manifest: " + std::to_string(code),
                      TAutoUpdateError::errGetManifest, true, stop);
    return false;
  }
  TUpdateManifest manifest;
  bool filled = false;
  try {
    filled = manifest.LoadFromJSON(ManifestText);
  } catch (const std::exception&) {
    filled = false;  // text that is no JSON object counts as a manifest that cannot be read
  }
  if (!filled) {
    ReportUpdateError("Error parsing manifest: " + ManifestText, TAutoUpdateError::errParseManifest,
                      false, stop);
    return false;
  }
  WriteLog(this, "AutoUpdate: manifest version: " + manifest.minimalDravikPluginVersion, 5);
  version = VersionToInt64(manifest.minimalDravikPluginVersion);
  return true;
}

bool TUpdateThread::DownloadInstaller(std::string& fileName, std::uint64_t version,
                                      std::stop_token stop) {
  fileName.clear();
  const std::string folder = context_.TempDir.empty() ? platform::TempDir() : context_.TempDir;
  TInstallerFile file = CreateInstallerFile(folder);
  int code = 0;
  bool downloaded = false;
  try {
    downloaded =
        context_.Transport->HttpGetToFile(context_.Endpoint.InstallerUrl, file.fd, code, stop);
  } catch (...) {
    ::close(file.fd);
    ::unlink(file.name.c_str());
    throw;
  }
  const bool closed = ::close(file.fd) == 0;
  if (!downloaded || !closed) {
    // A failed download is of no use and would pile up, one file an hour.
    ::unlink(file.name.c_str());
    ReportUpdateError("Error downloading installer: " + std::to_string(downloaded ? -1 : code),
                      TAutoUpdateError::errGetInstaller, false, stop);
    return false;
  }
  const std::string fileVersion = GetFileVersion(file.name);
  std::string v = fileVersion;
  if (!StartsText("3.", v)) v = "3." + v;
  // A file without a version of its own never passes, whatever the manifest says.
  if (!fileVersion.empty() && VersionToInt64(v) == version &&
      ::chmod(file.name.c_str(), 0700) == 0) {
    WriteLog(this, "AutoUpdate: installer downloaded: " + file.name, 5);
    fileName = file.name;
    return true;
  }
  ::unlink(file.name.c_str());
  ReportUpdateError("Wrong installer version: " + v, TAutoUpdateError::errCheckInstaller, false,
                    stop);
  return false;
}

void TUpdateThread::ReportUpdateError(std::string_view text, TAutoUpdateError kind, bool quiet,
                                      std::stop_token stop, std::string_view detail) {
  WriteLog(this, "AutoUpdate: " + std::string(text), 0, detail);
  // While the program ends nobody is there to read it.
  if (quiet || stop.stop_requested()) return;
  LastUpdateError.store(kind);
  if (context_.ShowMessage)
    context_.ShowMessage();
  else
    State().ShowUpdateMessage();
}

TAutoUpdate::TAutoUpdate()
    : factory_([this]() -> std::unique_ptr<TUpdateThread> {
        const std::optional<TUpdateEndpoint> endpoint = ConfiguredUpdateEndpoint();
        if (!endpoint) return nullptr;
        clock_ = MakeUpdateClock();
        transport_ = std::make_unique<TCurlTransport>(*endpoint);
        launcher_ = std::make_unique<TSpawnLauncher>();
        TUpdateContext context;
        context.Clock = clock_ ? clock_.get() : &SystemClock();
        context.Transport = transport_.get();
        context.Launcher = launcher_.get();
        context.Endpoint = *endpoint;
        context.OwnFile = GetExePath();
        return std::make_unique<TUpdateThread>(std::move(context));
      }) {}

TAutoUpdate::TAutoUpdate(TThreadFactory factory) : factory_(std::move(factory)) {}

TAutoUpdate::~TAutoUpdate() { StopAutoUpdate(); }

void TAutoUpdate::StartAutoUpdate() noexcept {
  if (started_) return;
  started_ = true;
  WriteLog(nullptr, "AutoUpdate starting ...", 5);
  try {
    thread_ = factory_ ? factory_() : nullptr;
    if (!thread_) {
      WriteLog(nullptr, "AutoUpdate: no update endpoint is set, no checks run", 5);
      return;
    }
    thread_->Start();
  } catch (const std::exception& error) {
    LogException(nullptr, "AutoUpdate", error);
  }
}

void TAutoUpdate::StopAutoUpdate() noexcept {
  if (!thread_) return;
  thread_->Stop();
  if (!thread_->WaitFor(kStopWaitMs)) {
    // A running thread's objects cannot be freed; they stay until the process ends.
    WriteLog(nullptr, "AutoUpdate: the update thread did not stop in time; it is left behind", 0);
    threadLeftBehind.store(true);
    static_cast<void>(thread_.release());
    static_cast<void>(clock_.release());
    static_cast<void>(transport_.release());
    static_cast<void>(launcher_.release());
    return;
  }
  thread_.reset();
}
}  // namespace dravik
