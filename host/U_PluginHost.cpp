#include "U_PluginHost.h"

#include <array>
#include <exception>
#include <filesystem>
#include <limits>
#include <unordered_set>
#include <utility>

#include "DomainList.h"
#include "DravikPluginAbi.h"
#include "KvCommonUtils.h"
#include "KvJSON.h"
#include "KvLibUtils.h"
#include "KvSysTools.h"
#include "KvThreads.h"
#include "U_InitSSL.h"
#include "U_LogFile.h"
#include "U_PluginJSON.h"
#include "U_Settings.h"
#include "U_WebServer.h"

namespace dravik {

namespace {

constexpr std::string_view kCrLf = "\r\n";

constexpr std::string_view kSystemPlugin = "RURazur";
constexpr std::string_view kCryptoPlugin = "RIDazodoRodudaRodozuze";

// The object types a page may export or import on its own engine: certificate dumps,
// searches, algorithm names and verifications, and the certificates and CRLs they need.
// Private-key uses (signing, key generation, the key's certificate) are not among them.
constexpr std::array<std::string_view, 5> kPlainExportTypes = {"14", "45", "50", "63", "64"};
constexpr std::array<std::string_view, 3> kPlainImportTypes = {"11", "12", "23"};

// Engine methods that need no more than the engine itself.
constexpr std::array<std::string_view, 4> kPlainEngineMethods = {
    "SetCryptoParamValue", "GetProperty", "ClearCash", "Release"};

template <std::size_t N>
bool IsOneOf(const std::array<std::string_view, N>& list, std::string_view value) {
  for (std::string_view entry : list) {
    if (entry == value) return true;
  }
  return false;
}

// Linear in the number of parameters: a body may hold millions of them.
bool HasRepeatedParam(const TDecodedPluginCommand& command) {
  std::unordered_set<std::string_view> names;
  names.reserve(command.Params.size());
  for (const TPluginCommandParam& param : command.Params) {
    if (!names.insert(param.name).second) return true;
  }
  return false;
}

// Whether an engine method with its DataType is on the allowlist.
bool IsPlainEngineCall(const TDecodedPluginCommand& command) {
  if (IsOneOf(kPlainEngineMethods, command.Method)) return true;
  const std::string* dataType = command.Param("DataType");
  if (!dataType) return false;
  if (command.Method == "ExportCryptoObject") return IsOneOf(kPlainExportTypes, *dataType);
  if (command.Method == "ImportCryptoObject") return IsOneOf(kPlainImportTypes, *dataType);
  return false;
}

const TProcNames& EntryPointNames() {
  static const TProcNames names = {"WS_Initialize", "WS_Execute", "WS_ExecuteEx", "WS_Shutdown"};
  return names;
}

void LibraryMessageSink(const TKvObject* sender, const std::string& text,
                        const std::string& detail) {
  WriteLog(sender, text, 2, detail);
}

void LibraryErrorSink(const TKvObject* sender, const std::string& text, const std::string& detail) {
  WriteLog(sender, text, 0, detail);
}

std::string ExeFolder() { return std::filesystem::path(GetExePath()).parent_path().string(); }

struct THostSlot {
  std::mutex lock;
  std::shared_ptr<TPluginHost> host;
};

THostSlot& HostSlot() {
  static THostSlot slot;
  return slot;
}

}  // namespace

// ----- Plain command guard -----

TPlainCommandGuard::TAdmission TPlainCommandGuard::Admit(std::string_view command) {
  TAdmission admission;
  TDecodedPluginCommand decoded;
  try {
    decoded = DecodePluginCommand(command, TPluginCommandCheck::Strict);
  } catch (const std::exception&) {
    admission.Reason = "not a plugin command";
    return admission;
  }
  // The library reads the first of repeated names; two readings of one command are
  // ruled out by refusing the repetition.
  if (HasRepeatedParam(decoded)) {
    admission.Reason = "a parameter is repeated";
    return admission;
  }
  if (decoded.Plugin == kSystemPlugin) {
    admission.Allowed = decoded.Method == "GetProperty";
    if (!admission.Allowed) admission.Reason = "method not allowed";
    return admission;
  }
  if (decoded.Plugin != kCryptoPlugin) {
    admission.Reason = "plugin not allowed";
    return admission;
  }
  if (decoded.Method == "InitCryptoEngineByType") {
    if (!decoded.ID.empty()) {
      admission.Reason = "resetting an engine";
      return admission;
    }
    std::lock_guard lock(lock_);
    // The library's engine table is shared with the host's own key sessions.
    if (engines_.size() + reserved_ >= maxEngines_) {
      admission.Reason = "too many engines";
      return admission;
    }
    ++reserved_;
    admission.Allowed = true;
    admission.CreatesEngine = true;
    admission.Generation = generation_;
    return admission;
  }
  if (!IsPlainEngineCall(decoded)) {
    admission.Reason = "method or object type not allowed";
    return admission;
  }
  std::lock_guard lock(lock_);
  const auto engine = engines_.find(decoded.ID);
  if (engine == engines_.end()) {
    admission.Reason = "engine not created by this channel";
    return admission;
  }
  if (decoded.Method == "Release") engines_.erase(engine);
  admission.Allowed = true;
  return admission;
}

void TPlainCommandGuard::CommandEnded(const TAdmission& admission,
                                      std::string_view reply) noexcept {
  if (!admission.Allowed || !admission.CreatesEngine) return;
  std::string id;
  try {
    const TJsonValue json = ParseJSON(reply);
    const TJsonValue* member = json.IsObject() ? json.Find("ID") : nullptr;
    if (member && member->IsString()) id = member->StringValue();
  } catch (...) {  // no JSON, no engine: the slot goes back
    id.clear();
  }
  try {
    std::lock_guard lock(lock_);
    // Clear dropped the slots and engines of a library unloaded since the command was admitted.
    if (admission.Generation != generation_ || reserved_ == 0) return;
    --reserved_;
    if (!id.empty()) engines_.insert(std::move(id));
  } catch (...) {  // a failing mutex or allocation costs the slot, never the program
  }
}

void TPlainCommandGuard::Clear() noexcept {
  std::lock_guard lock(lock_);
  engines_.clear();
  reserved_ = 0;
  ++generation_;
}

bool TPlainCommandGuard::OwnsEngine(const std::string& id) const {
  std::lock_guard lock(lock_);
  return engines_.contains(id);
}

// ----- Plugin host -----

TPluginHost::TPluginHost() : TPluginHost(THostLoger::GetIniFileName()) {}

TPluginHost::TPluginHost(std::string iniFileName, std::vector<std::string> libraryFolders)
    : settings_(std::make_unique<THostSettings>(std::move(iniFileName))),
      procPoints_{&wsInitialize_, &wsExecute_, &wsExecuteEx_, &wsShutdown_} {
  if (libraryFolders.empty()) libraryFolders.push_back(ExeFolder());
  for (std::string& folder : libraryFolders) libraryFolders_.Add(std::move(folder));
  settings_->Load();
}

TPluginHost::~TPluginHost() {
  StopServers();
  try {
    std::unique_lock lock(libraryLock_);
    LibManager().ForgetProcPoints(&procPoints_);
    ClearEntryPoints();
  } catch (const std::exception& error) {
    LogException(this, "TPluginHost.Destroy", error);
  }
  DetachLibrarySinks();
}

void TPluginHost::AttachLibrarySinks() {
  LibManager().SetOnMessage(LibraryMessageSink);
  LibManager().SetOnError(LibraryErrorSink);
}

void TPluginHost::DetachLibrarySinks() noexcept {
  try {
    LibManager().SetOnMessage(nullptr);
    LibManager().SetOnError(nullptr);
  } catch (const std::exception&) {
    // Nothing is left to report to.
  }
}

void TPluginHost::ClearEntryPoints() noexcept {
  wsInitialize_ = nullptr;
  wsExecute_ = nullptr;
  wsExecuteEx_ = nullptr;
  wsShutdown_ = nullptr;
}

bool TPluginHost::LoadPluginLibrary() {
  std::unique_lock lock(libraryLock_);
  AttachLibrarySinks();
  const bool loaded =
      LoadDynLibrary(std::string(kLibraryName), &procPoints_, EntryPointNames(), &libraryFolders_);
  if (!loaded) {
    // A library lacking an entry point is never called, not even through the ones it has.
    ClearEntryPoints();
    return false;
  }
  const TKvDynLibrary* library = LibManager().FindByName(std::string(kLibraryName));
  const std::string path = library ? library->RealPath() : std::string();
  WriteLog(this, "Library version: " + (path.empty() ? std::string() : GetFileVersion(path)), 2);
  try {
    reinterpret_cast<TWS_Initialize>(wsInitialize_)();
  } catch (const std::exception& error) {
    LogException(this, "Library initialization", error);
  }
  return true;
}

bool TPluginHost::UnloadPluginLibrary() {
  bool unloaded = false;
  {
    std::unique_lock lock(libraryLock_);
    if (wsShutdown_) reinterpret_cast<TWS_Shutdown>(wsShutdown_)();
    // At the last use the manager empties the entry points.
    unloaded = UnloadDynLibrary(std::string(kLibraryName));
  }
  // The library's engines are gone with it (or at least shut down).
  plainGuard_.Clear();
  DetachLibrarySinks();
  return unloaded;
}

bool TPluginHost::IsLibraryLoaded() const {
  std::shared_lock lock(libraryLock_);
  return LibManager().FindByName(std::string(kLibraryName)) != nullptr;
}

std::string TPluginHost::GetLibraryPath() const {
  std::shared_lock lock(libraryLock_);
  const TKvDynLibrary* library = LibManager().FindByName(std::string(kLibraryName));
  return library ? library->RealPath() : std::string();
}

std::string TPluginHost::GetLibraryVersion() const {
  const std::string path = GetLibraryPath();
  return path.empty() ? std::string() : GetFileVersion(path);
}

bool TPluginHost::ProcessCommand(const std::string& command, std::string& reply, bool logIt) {
  reply.clear();
  bool result = false;
  WriteLog(this, "Processing command...", 2,
           logIt ? std::string_view(command) : std::string_view());
  // COM needs no initialisation for the calling thread on this platform. The library may
  // take its time (key generation, a slow device).
  BeforeBlockingWait();
  try {
    std::shared_lock lock(libraryLock_);
    if (!wsExecuteEx_) {
      WriteLog(this, "No executor! Library not loaded?", 0);
      return false;
    }
    if (command.size() >= static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
      throw ERangeError("Command too long");
    const auto execute = reinterpret_cast<TWS_ExecuteEx>(wsExecuteEx_);
    const auto commandSize = static_cast<std::int32_t>(command.size() + 1);
    std::int32_t size = 0;
    if (WS_FAILED(execute(command.c_str(), commandSize, nullptr, &size, WS_PHASE_PREPARE)) ||
        size < 0) {
      WriteLog(this, "ProcessCommand: Error preparing reply!", 0);
      return false;
    }
    if (size > 0) {
      // Zero-filled, so that bytes the library leaves unwritten are never uninitialised;
      // the reply keeps this length whatever size the library writes back.
      reply.assign(static_cast<std::size_t>(size), '\0');
      std::int32_t received = size;
      if (WS_FAILED(
              execute(command.c_str(), commandSize, reply.data(), &received, WS_PHASE_RECEIVE))) {
        WriteLog(this, "ProcessCommand: Error receiving reply!", 0);
        return false;
      }
    }
    result = true;
    WriteLog(this, "Command processed.", 2, logIt ? std::string_view(reply) : std::string_view());
  } catch (const std::exception& error) {
    LogException(this, "Processing error", error);
    result = false;
  }
  return result;
}

bool TPluginHost::IsServerRunningLocked() const noexcept { return sslDaemon_ && httpDaemon_; }

bool TPluginHost::IsServerRunning() const {
  std::lock_guard lock(serversLock_);
  return IsServerRunningLocked();
}

TPluginHost::TListenersBind TPluginHost::ListenersBind() const {
  std::lock_guard lock(serversLock_);
  if (!IsServerRunningLocked()) return TListenersBind::kPending;
  TListenersBind result = TListenersBind::kBound;
  for (const ThttpDaemon* daemon : {static_cast<const ThttpDaemon*>(sslDaemon_.get()),
                                    static_cast<const ThttpDaemon*>(httpDaemon_.get())}) {
    if (daemon->Finished() && !daemon->Listening()) return TListenersBind::kFailed;
    if (!daemon->Listening()) result = TListenersBind::kPending;
  }
  return result;
}

bool TPluginHost::StartServers() {
  std::lock_guard lock(serversLock_);
  if (IsServerRunningLocked()) return false;
  WriteLog(this, "Starting HTTP/HTTPS server...", 2);
  settings_->LogSettings();
  bool result = false;
  try {
    const ThttpDaemon::TConnectEvent onConnect = [this](ThttpDaemon& sender) { DoConnect(sender); };
    WriteLog(this, "Starting HTTPS server...", 2);
    sslDaemon_ = std::make_unique<TsslDaemon>(settings_->Server_SSL(), onConnect);
    WriteLog(this, "Starting HTTP server...", 2);
    httpDaemon_ = std::make_unique<ThttpDaemon>(settings_->Server_RPC(), onConnect);
    result = IsServerRunningLocked();
    if (result) WriteLog(this, "HTTP/HTTPS server started!", 2);
  } catch (const std::exception& error) {
    LogException(this, "Starting HTTP/HTTPS server", error);
    result = false;
  }
  return result;
}

void TPluginHost::StopServers() noexcept {
  std::lock_guard lock(serversLock_);
  if (!sslDaemon_ && !httpDaemon_) return;
  WriteLog(this, "Stopping HTTP/HTTPS server...", 2);
  try {
    WriteLog(this, "Stopping HTTPS server...", 2);
    if (sslDaemon_) {
      sslDaemon_->Stop();
      sslDaemon_.reset();
    }
    WriteLog(this, "Stopping HTTP server...", 2);
    if (httpDaemon_) {
      httpDaemon_->Stop();
      httpDaemon_.reset();
    }
    WriteLog(this, "HTTP/HTTPS server stopped!", 2);
  } catch (const std::exception& error) {
    LogException(this, "Stopping HTTP/HTTPS server", error);
  }
}

void TPluginHost::DoConnect(ThttpDaemon& /*sender*/) noexcept {
  lastConnect_.store(NowLocal(), std::memory_order_relaxed);
}

const std::string& TPluginHost::GetOwnVersion() {
  // Read once: the version block is found by scanning the whole program file, and the
  // running program's version does not change (a self-update replaces the file, not us).
  static const std::string version = GetFileVersion(GetExePath());
  return version;
}

std::string TPluginHost::GetServerName() {
  static const std::string name =
      std::filesystem::path(GetExePath()).stem().string() + "/" + GetOwnVersion();
  return name;
}

std::string TPluginHost::GetStatusText() const {
  const std::string exePath = GetExePath();
  std::string text = "Путь к хост-приложению: " + exePath + std::string(kCrLf) +
                     "Версия хост-приложения: " + GetOwnVersion();
  text.append(kCrLf);
  if (IsServerRunning()) {
    text += "Режим: HTTP/HTTPS" + std::string(kCrLf) +
            "Порты: " + IntToText(settings_->Server_RPC().Port()) + " / " +
            IntToText(settings_->Server_SSL().Port());
  } else {
    text += "Сервер не запущен!";
  }
  text.append(kCrLf);
  const std::string libraryPath = GetLibraryPath();
  if (!libraryPath.empty()) {
    text += "Библиотека: " + libraryPath + std::string(kCrLf) +
            "Версия библиотеки: " + GetFileVersion(libraryPath);
  } else {
    text += "Библиотека не загружена!";
  }
  text.append(kCrLf).append(GetServerHostNameReport());
  text.append(kCrLf).append(GetOpenSSLReport());
  text.append(kCrLf);
  THostLoger* loger = HostLoger.load(std::memory_order_acquire);
  if (loger && loger->IsEnabled()) {
    text += "Файл журнала: " + loger->GetCurrentLogFile();
  } else {
    text += "Журнал не ведется!";
  }
  return text;
}

// ----- The global and the plain command channel -----

std::shared_ptr<TPluginHost> PluginHost() noexcept {
  THostSlot& slot = HostSlot();
  std::lock_guard lock(slot.lock);
  return slot.host;
}

std::shared_ptr<TPluginHost> SetPluginHost(std::shared_ptr<TPluginHost> host) noexcept {
  THostSlot& slot = HostSlot();
  std::lock_guard lock(slot.lock);
  std::swap(slot.host, host);
  return host;
}

void PluginCommandProcessor(const std::string& /*method*/, const std::string& /*uri*/,
                            const std::string& data, TStringList& headers, std::string& reply,
                            std::int32_t& result) {
  const std::shared_ptr<TPluginHost> host = PluginHost();
  if (!host) throw Exception("The plugin host is gone");
  if (!CheckRequestOrigin(host->Settings().Server().DomainList(), headers, result)) return;
  TPlainCommandGuard& guard = host->PlainCommandGuard();
  const TPlainCommandGuard::TAdmission admission = guard.Admit(data);
  if (!admission.Allowed) {
    WriteLog(host.get(), "Plain command refused: " + admission.Reason, 0);
    reply = kPlainCommandRefusal;
    result = 401;
    return;
  }
  // The admission is ended on every path, so that a slot it holds is never lost.
  struct TEnd {
    TPlainCommandGuard& guard;
    const TPlainCommandGuard::TAdmission& admission;
    std::string_view reply;
    ~TEnd() { guard.CommandEnded(admission, reply); }
  } end{guard, admission, {}};
  if (host->ProcessCommand(data, reply, false)) {
    result = 200;
    end.reply = reply;
  }
}

// ----- Names of the program's files -----

std::string GetExeName() { return std::filesystem::path(GetExePath()).filename().string(); }

std::string ChangeExeFileExt(std::string_view extension, bool withFolder) {
  std::filesystem::path path(withFolder ? GetExePath() : GetExeName());
  std::string newExtension(extension);
  if (!newExtension.empty() && newExtension.front() != '.') newExtension.insert(0, ".");
  path.replace_extension(newExtension);
  return path.string();
}

// ----- Module -----

void InitPluginHost() {
  RegisterProcessor({"POST"}, PluginCommandProcessor);
  SetServerDomainListProvider([]() -> std::shared_ptr<TDomainList> {
    std::shared_ptr<TPluginHost> host = PluginHost();
    if (!host) return nullptr;
    // Shares the host's ownership, so the host outlives the request that checks its list.
    TDomainList* list = &host->Settings().Server().DomainList();
    return std::shared_ptr<TDomainList>(std::move(host), list);
  });
}

void FinalizePluginHost() noexcept {
  try {
    SetServerDomainListProvider(nullptr);
  } catch (const std::exception& error) {
    LogException(nullptr, "Finalizing the plugin host", error);
  }
  std::shared_ptr<TPluginHost> host = SetPluginHost(nullptr);
  // The listeners stop here, on the finalising thread, even when a connection thread still
  // holds the host and so frees it later.
  if (host) host->StopServers();
  host.reset();
}

}  // namespace dravik
