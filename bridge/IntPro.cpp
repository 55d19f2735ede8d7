#include "IntPro.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <initializer_list>
#include <system_error>
#include <utility>

#include "Environment.h"
#include "KvCommonUtils.h"
#include "KvSysTools.h"
#include "KvText.h"
#include "U_LogFile.h"
#include "U_TokenPath.h"

namespace dravik {

namespace {

namespace fs = std::filesystem;

// A folder holds this many entries at most before a search for a name without letter case
// gives up: the clients' folders hold a handful.
constexpr int kMaxScannedEntries = 4096;

bool IsAsciiLetter(char c) noexcept { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

bool HasDriveLetter(std::string_view path) noexcept {
  return path.size() >= 2 && IsAsciiLetter(path[0]) && path[1] == ':';
}

std::string Slashed(std::string_view path) {
  std::string result(path);
  for (char& c : result) {
    if (c == '\\') c = '/';
  }
  return result;
}

std::string WinePrefix() {
  const char* prefix = std::getenv("WINEPREFIX");
  std::string result = prefix && *prefix == '/' ? prefix : platform::HomeDir() + "/.wine";
  while (result.size() > 1 && result.back() == '/') result.pop_back();
  return result;
}

// The drive folder that `dir` lies in, or "" when it lies on none.
std::string DriveRootOf(std::string_view dir) {
  const std::string devices = WinePrefix() + "/dosdevices/";
  if (!dir.starts_with(devices)) return {};
  const std::string_view rest = dir.substr(devices.size());
  if (!HasDriveLetter(rest) || (rest.size() > 2 && rest[2] != '/')) return {};
  return std::string(dir.substr(0, devices.size() + 2));
}

std::string Normalised(const std::string& path) {
  return path.empty() ? path : fs::path(path).lexically_normal().string();
}

bool IsKind(const fs::path& path, bool folder) {
  std::error_code error;
  return folder ? fs::is_directory(path, error) : fs::is_regular_file(path, error);
}

// The full name of the entry `name` of `dir` (a regular file, or a folder when `folder`):
// the exact name first, then the first entry whose name matches without letter case; ""
// when there is none.
std::string FindEntryNoCase(const std::string& dir, std::string_view name, bool folder) {
  const fs::path exact = fs::path(dir) / name;
  if (IsKind(exact, folder)) return exact.string();
  std::error_code error;
  fs::directory_iterator it(dir, error);
  for (int scanned = 0; !error && it != fs::directory_iterator() && scanned < kMaxScannedEntries;
       it.increment(error), ++scanned) {
    const fs::path& candidate = it->path();
    if (SameTextRu(candidate.filename().string(), name) && IsKind(candidate, folder))
      return candidate.string();
  }
  return {};
}

// A name that stays inside the folder it is joined to.
bool IsPlainFileName(std::string_view name) noexcept {
  for (const char c : name) {
    if (c == '/' || c == '\\' || static_cast<unsigned char>(c) < 0x20) return false;
  }
  return !name.empty();
}

class TSystemProcessFinder final : public IProcessFinder {
 public:
  std::string ProgramPathOf(std::string_view fileName) const override {
    const int pid = FindProcessByName(fileName);
    if (pid <= 0) return {};
    std::string path = GetProcessImagePath(pid);
    if (path.empty() || path.starts_with('/') || path.starts_with('\\') || HasDriveLetter(path))
      return path;
    // A program that the compatibility layer started by a relative name lies in the
    // process's working folder.
    std::error_code error;
    const fs::path cwd = fs::read_symlink("/proc/" + std::to_string(pid) + "/cwd", error);
    if (error || !cwd.is_absolute()) return {};
    return (cwd / Slashed(path)).string();
  }
};

// The install folder of the program found through `programs` (tried in order), then through
// a search of `searchRoot`; the texts name the calling search in the log.
int FindInstallDir(std::string_view searchRoot, std::string& installDir,
                   const IProcessFinder& processes,
                   std::initializer_list<std::string_view> programs, std::string_view function) {
  installDir.clear();
  for (const std::string_view program : programs) {
    installDir = processes.ProgramPathOf(program);
    if (!installDir.empty()) break;
  }
  if (installDir.empty() && !searchRoot.empty()) {
    IntProLog(std::string(function) + " - Search in " + std::string(searchRoot));
    installDir = FindFileInTree(searchRoot, *programs.begin(), true, 1);
  }
  if (installDir.empty()) return kInterProNoInstallDir;
  const std::string program = Normalised(LocalPathFromWindows(installDir));
  installDir = IncludeTrailingPathDelimiter(ExtractFileDir(program));
  if (!fs::path(installDir).is_absolute()) {
    installDir.clear();
    return kInterProNoInstallDir;
  }
  IntProLog(std::string(function) + " - InstallDir is " + installDir);
  return kInterProFound;
}

// The install folder found now, or else the remembered one; false, with the search's code in
// `result`, when there is neither.
bool ResolveInstallDir(int found, TRememberedDir& lastDir, std::string& installDir,
                       std::string_view function, int& result) {
  if (found == kInterProFound) return true;
  const std::string last = lastDir.Get();
  if (last.empty()) {
    result = found;
    return false;
  }
  installDir = last;
  IntProLog(std::string(function) + " - try to use last InstallDir " + installDir);
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Processes, remembered folders, paths

const IProcessFinder& SystemProcessFinder() noexcept {
  static const TSystemProcessFinder finder;
  return finder;
}

std::string TRememberedDir::Get() const {
  std::lock_guard lock(lock_);
  return dir_;
}

void TRememberedDir::Set(std::string dir) {
  std::lock_guard lock(lock_);
  dir_ = std::move(dir);
}

TRememberedDir& LastRMClientInstallDir() noexcept {
  static TRememberedDir dir;
  return dir;
}

TRememberedDir& LastInterProInstallDir() noexcept {
  static TRememberedDir dir;
  return dir;
}

std::string WindowsDriveFolder(char letter) {
  return WinePrefix() + "/dosdevices/" + LowerCase(std::string(1, letter)) + ":";
}

std::string LocalPathFromWindows(std::string_view path) {
  std::string result = Slashed(path);
  if (!HasDriveLetter(result)) return result;
  const std::string rest = result.substr(2);
  return WindowsDriveFolder(result[0]) + (rest.starts_with('/') ? "" : "/") + rest;
}

std::string ExpandClientPath(std::string_view value, std::string_view installDir) {
  if (value.empty()) return {};
  const std::string path = Slashed(value);
  if (HasDriveLetter(path)) return Normalised(LocalPathFromWindows(path));
  if (path.starts_with('/')) return Normalised(DriveRootOf(installDir) + path);
  return Normalised(IncludeTrailingPathDelimiter(installDir) + path);
}

// ---------------------------------------------------------------------------------------
// Searches

void IntProLog(std::string_view text) noexcept { WriteLog(nullptr, text, 2, "IntPro"); }

std::string ContextNameFromKey(std::string_view key) {
  if (key.size() <= kRMClientKeyDirSuffix.size() || !EndsText(kRMClientKeyDirSuffix, key))
    return {};
  return std::string(key.substr(0, key.size() - kRMClientKeyDirSuffix.size()));
}

int FindRMClientInstallDir(std::string_view searchRoot, std::string& installDir,
                           const IProcessFinder& processes) {
  return FindInstallDir(searchRoot, installDir, processes, {kRMClientProgram, kRMClientAltProgram},
                        "FindRMClientInstallDir");
}

int FindInterProInstallDir(std::string_view searchRoot, std::string& installDir,
                           const IProcessFinder& processes) {
  return FindInstallDir(searchRoot, installDir, processes, {kInterProProgram},
                        "FindInterProInstallDir");
}

int FindRMClientCfg(std::string_view searchRoot, TRememberedDir& lastDir, std::string& installDir,
                    TStringList& configFiles, const IProcessFinder& processes) {
  int result = kInterProNoConfig;
  if (!ResolveInstallDir(FindRMClientInstallDir(searchRoot, installDir, processes), lastDir,
                         installDir, "FindRMClientCfg", result))
    return result;
  // A folder whose configuration is gone is not tried again; it is forgotten only once the
  // search knows, so that a listing beside this one never sees it missing meanwhile.
  const auto missing = [&] {
    lastDir.Set({});
    return kInterProNoConfig;
  };
  const std::string configDir = FindEntryNoCase(installDir, kRMClientConfigDir, true);
  const std::string file =
      configDir.empty() ? std::string() : FindEntryNoCase(configDir, kRMClientConfigFile, false);
  if (file.empty()) {
    IntProLog("FindRMClientCfg - file not found " + std::string(kRMClientConfigFile));
    return missing();
  }
  IntProLog("FindRMClientCfg - Use config file " + file);
  configFiles.Add(file);
  lastDir.Set(installDir);
  return kInterProFound;
}

int FindInterProCfg(std::string_view searchRoot, TRememberedDir& lastDir, std::string& installDir,
                    TStringList& configFiles, const IProcessFinder& processes) {
  int result = kInterProNoConfig;
  if (!ResolveInstallDir(FindInterProInstallDir(searchRoot, installDir, processes), lastDir,
                         installDir, "FindInterProCfg", result))
    return result;
  const auto missing = [&] {
    lastDir.Set({});
    return kInterProNoConfig;
  };
  const std::string mainFile = FindEntryNoCase(installDir, kInterProMainFile, false);
  if (mainFile.empty()) {
    IntProLog("FindInterProCfg - file not found " + std::string(kInterProMainFile));
    return missing();
  }
  const TKvIniFile main(mainFile, TIniEncoding::Cp1251);
  const std::string select = main.ReadString("General", "SelectConfig", "");
  const std::string selected = main.ReadString("General", "SelectedConfig", "");
  if (select == "0") {
    if (selected.empty()) {
      IntProLog("FindInterProCfg - parameter \"SelectedConfig\" not set in interpro.ini");
      return missing();
    }
    const std::string name = selected + std::string(kInterProConfigExt);
    // The selected name comes from the client's file: it may only name a file of the folder.
    const std::string file =
        IsPlainFileName(selected) ? FindEntryNoCase(installDir, name, false) : std::string();
    if (file.empty()) {
      IntProLog("FindInterProCfg - Config file not found " + installDir + name);
      return missing();
    }
    IntProLog("FindInterProCfg - Use config file " + file);
    configFiles.Add(file);
  } else {
    TStringList found;
    FindFiles(installDir, kInterProConfigMask, found, false, true);
    if (found.Count() == 0) {
      IntProLog("FindInterProCfg - no files \"" + std::string(kInterProConfigMask) +
                "\" found in " + installDir);
      return missing();
    }
    const int taken = std::min(found.Count(), kMaxInterProConfigFiles);
    for (int i = 0; i < taken; ++i) configFiles.Add(found[i]);
    IntProLog("FindInterProCfg - found " + std::to_string(taken) + " in " + installDir);
  }
  lastDir.Set(installDir);
  return kInterProFound;
}

// ---------------------------------------------------------------------------------------
// TInterProConfig

TInterProConfig::TInterProConfig(const IProcessFinder& processes, TRememberedDir& lastRMClientDir,
                                 TRememberedDir& lastInterProDir)
    : processes_(processes), lastRMClientDir_(lastRMClientDir), lastInterProDir_(lastInterProDir) {}

TInterProConfig::~TInterProConfig() = default;

int TInterProConfig::Initialize(std::string_view searchRoot) {
  configFiles_.Clear();
  int result = FindRMClientCfg(searchRoot, lastRMClientDir_, installDir_, configFiles_, processes_);
  isRMClient_ = result == kInterProFound;
  if (!isRMClient_)
    result = FindInterProCfg(searchRoot, lastInterProDir_, installDir_, configFiles_, processes_);
  configCount_ = configFiles_.Count();
  return result;
}

void TInterProConfig::ReadConfig(int n) {
  ini_.reset();
  contextsNumber_ = 0;
  if (n < 0 || n >= configCount_) return;
  IntProLog("ReadConfig - " + configFiles_[n]);
  ini_ = std::make_unique<TKvIniFile>(configFiles_[n], TIniEncoding::Cp1251);
  if (isRMClient_) {
    FillContextListRMClient();
  } else {
    ReadContextsNumber();
  }
}

void TInterProConfig::FillContextListRMClient() {
  contextNames_.Clear();
  for (const std::string& key : ini_->ReadSection(kRMClientSection)) {
    if (contextNames_.Count() >= kMaxInterProContexts) break;
    std::string name = ContextNameFromKey(key);
    if (name.empty()) continue;
    IntProLog("FillContextListRMClient - add " + name);
    contextNames_.Add(std::move(name));
  }
  contextsNumber_ = contextNames_.Count();
  IntProLog("ReadConfig - Names Count=" + std::to_string(contextsNumber_));
}

void TInterProConfig::ReadContextsNumber() {
  std::int32_t number = 0;
  if (!TryParseInt(ReadString("SSL", "ContextsNumber", ""), number)) number = 0;
  // The number comes from the client's file: it must not make a listing run for ever.
  contextsNumber_ = std::clamp(number, std::int32_t{0}, kMaxInterProContexts);
  IntProLog("ReadConfig - ContextsNumber=" + std::to_string(contextsNumber_));
}

void TInterProConfig::ReadContext(int k) {
  context_ = TInterProContext();
  if (isRMClient_) {
    if (k < 1 || k > contextNames_.Count()) return;
    const std::string& stem = contextNames_[k - 1];
    context_.Name = stem;
    context_.UsePSE = 1;
    context_.PSeDir = ReadPath(kRMClientSection, stem + std::string(kRMClientKeyDirSuffix), "");
    context_.PSeSecretKey =
        ReadPath(kRMClientSection, stem + std::string(kRMClientSecretKeySuffix), "");
    context_.Certificate =
        ReadPath(kRMClientSection, stem + std::string(kRMClientCertificateSuffix), "");
    return;
  }
  const std::string section = "SSLContext" + std::to_string(k);
  context_.Name = ReadString(section, "Name", "");
  context_.UsePSE = ReadInteger(section, "UsePSE", 0);
  context_.PSeDir = ReadPath(section, "PSeDir", "");
  context_.PSeSecretKey = ReadPath(section, "PSeSecretKey", "");
  context_.Certificate = ReadPath(section, "Certificate", "");
}

std::string TInterProConfig::ReadString(std::string_view section, std::string_view key,
                                        std::string_view def) const {
  if (!ini_) return std::string(def);
  return ini_->ReadString(section, key, def);
}

std::int32_t TInterProConfig::ReadInteger(std::string_view section, std::string_view key,
                                          std::int32_t def) const {
  std::int32_t value = def;
  return TryParseInt(ReadString(section, key, ""), value) ? value : def;
}

std::string TInterProConfig::ReadPath(std::string_view section, std::string_view key,
                                      std::string_view def) const {
  std::string value = ReadString(section, key, def);
  if (value.empty()) return value;
  std::int32_t slot = kNoTokenSlot;
  std::string prefix;
  IsTokenPath(value, slot, prefix);
  if (!prefix.empty()) return value;
  return ExpandClientPath(value, installDir_);
}

}  // namespace dravik
