#include "IntPro.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <initializer_list>
#include <system_error>
#include <utility>
#include <vector>

#include "Environment.h"
#include "KvCommonUtils.h"
#include "KvSysTools.h"
#include "KvText.h"
#include "Processes.h"
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

std::string WithoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// The program's own compatibility prefix: $WINEPREFIX when it is absolute, else
// $HOME/.wine.
std::string WinePrefix() {
  const char* prefix = std::getenv("WINEPREFIX");
  return WithoutTrailingSlashes(prefix && *prefix == '/' ? prefix : platform::HomeDir() + "/.wine");
}

constexpr std::string_view kDosDevices = "/dosdevices/";

// Where `dir` names a drive folder `<prefix>/dosdevices/x:` (alone or followed by '/'): the
// position of "/dosdevices/" in it; npos when it lies on no drive.
std::size_t DriveMarkOf(std::string_view dir) {
  for (std::size_t at = dir.find(kDosDevices); at != std::string_view::npos;
       at = dir.find(kDosDevices, at + 1)) {
    const std::string_view rest = dir.substr(at + kDosDevices.size());
    if (HasDriveLetter(rest) && (rest.size() == 2 || rest[2] == '/')) return at;
  }
  return std::string_view::npos;
}

// The drive folder that `dir` lies in, or "" when it lies on none.
std::string DriveRootOf(std::string_view dir) {
  const std::size_t at = DriveMarkOf(dir);
  if (at == std::string_view::npos) return {};
  return std::string(dir.substr(0, at + kDosDevices.size() + 2));
}

// The prefix whose drives a client's folder lies on; the program's own prefix when it lies
// on none.
std::string PrefixOfDir(std::string_view dir) {
  const std::size_t at = DriveMarkOf(dir);
  return at == std::string_view::npos ? WinePrefix() : std::string(dir.substr(0, at));
}

// `path` written through the drive folder `<prefix>/dosdevices/x:` whose target holds it
// (the deepest such target; a drive of the whole Linux root does not count, as a path there
// is the same either way); `path` itself when no drive holds it.
std::string ThroughDrive(const std::string& path, std::string_view prefix) {
  std::error_code error;
  const fs::path real = fs::weakly_canonical(path, error);
  const std::string target = error ? path : real.string();
  const std::string devices = std::string(prefix) + std::string(kDosDevices);
  std::string best;
  std::size_t bestLength = 0;
  fs::directory_iterator it(devices, error);
  for (int scanned = 0; !error && it != fs::directory_iterator() && scanned < kMaxScannedEntries;
       it.increment(error), ++scanned) {
    const std::string name = it->path().filename().string();
    if (name.size() != 2 || !HasDriveLetter(name)) continue;
    std::error_code linkError;
    const std::string drive = fs::canonical(it->path(), linkError).string();
    if (linkError || drive == "/" || drive.size() <= bestLength) continue;
    if (target == drive || (target.starts_with(drive) && target[drive.size()] == '/')) {
      best = devices + LowerCase(name) + target.substr(drive.size());
      bestLength = drive.size();
    }
  }
  return best.empty() ? path : best;
}

std::string Normalised(const std::string& path) {
  return path.empty() ? path : fs::path(path).lexically_normal().string();
}

enum class TEntryKind { Any, Folder, File };

bool IsKind(const fs::path& path, TEntryKind kind) {
  std::error_code error;
  switch (kind) {
    case TEntryKind::Folder:
      return fs::is_directory(path, error);
    case TEntryKind::File:
      return fs::is_regular_file(path, error);
    case TEntryKind::Any:
      break;
  }
  return fs::exists(fs::symlink_status(path, error));
}

// The full name of the entry `name` of `dir` of that kind: the exact name first, then the
// first entry (in name order, for a stable choice) whose name matches without letter case;
// "" when there is none.
std::string FindEntryNoCase(const std::string& dir, std::string_view name, TEntryKind kind) {
  const fs::path exact = fs::path(dir) / name;
  if (IsKind(exact, kind)) return exact.string();
  std::vector<fs::path> matches;
  std::error_code error;
  fs::directory_iterator it(dir, error);
  for (int scanned = 0; !error && it != fs::directory_iterator() && scanned < kMaxScannedEntries;
       it.increment(error), ++scanned) {
    const fs::path& candidate = it->path();
    if (SameTextRu(candidate.filename().string(), name) && IsKind(candidate, kind))
      matches.push_back(candidate);
  }
  if (matches.empty()) return {};
  return std::min_element(matches.begin(), matches.end())->string();
}

// The configuration file that the selected name of interpro.ini names: install folder + name
// + ".cnf", each '\\' (or '/') a folder separator and each component matched without letter
// case; empty and "." components add nothing, as on the client's own system. "" when there is
// no such file, or when the name would lead out of the install folder: an absolute name (a
// separator or a drive first) or a ".." component.
std::string SelectedConfigFile(const std::string& installDir, std::string_view selected) {
  constexpr auto IsControlByte = [](char c) { return static_cast<unsigned char>(c) < 0x20; };
  const std::string name = Slashed(selected) + std::string(kInterProConfigExt);
  if (name.starts_with('/') || HasDriveLetter(name)) return {};
  std::vector<std::string_view> parts;
  for (std::string_view rest = name; !rest.empty();) {
    const std::size_t slash = rest.find('/');
    const std::string_view part = rest.substr(0, slash);
    if (part == ".." || std::ranges::any_of(part, IsControlByte)) return {};
    if (!part.empty() && part != ".") parts.push_back(part);
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
  }
  std::string found = installDir;
  for (std::size_t i = 0; i < parts.size() && !found.empty(); ++i) {
    const bool last = i + 1 == parts.size();
    found = FindEntryNoCase(found, parts[i], last ? TEntryKind::File : TEntryKind::Folder);
  }
  return found;
}

class TSystemProcessFinder final : public IProcessFinder {
 public:
  std::string ProgramPathOf(std::string_view fileName) const override {
    const int pid = FindProcessByName(fileName);
    if (pid <= 0) return {};
    const std::string image = GetProcessImagePath(pid);
    if (image.empty()) return {};
    // The client's drives are those of its own prefix, which need not be the program's.
    const std::string prefix =
        ClientWinePrefix(platform::ProcessEnvironmentValue(pid, "WINEPREFIX"),
                         platform::ProcessEnvironmentValue(pid, "HOME"));
    const bool relative =
        !image.starts_with('/') && !image.starts_with('\\') && !HasDriveLetter(image);
    const std::string cwd = relative ? platform::ProcessWorkingDir(pid) : std::string();
    if (relative && cwd.empty()) return {};
    return ClientProgramPath(image, cwd, prefix);
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

std::string WindowsDriveFolder(char letter) { return WindowsDriveFolder(letter, WinePrefix()); }

std::string WindowsDriveFolder(char letter, std::string_view prefix) {
  return WithoutTrailingSlashes(std::string(prefix)) + std::string(kDosDevices) +
         LowerCase(std::string(1, letter)) + ":";
}

std::string LocalPathFromWindows(std::string_view path) {
  return LocalPathFromWindows(path, WinePrefix());
}

std::string LocalPathFromWindows(std::string_view path, std::string_view prefix) {
  std::string result = Slashed(path);
  if (!HasDriveLetter(result)) return result;
  const std::string rest = result.substr(2);
  return WindowsDriveFolder(result[0], prefix) + (rest.starts_with('/') ? "" : "/") + rest;
}

std::string ClientWinePrefix(const std::optional<std::string>& winePrefix,
                             const std::optional<std::string>& home) {
  if (winePrefix && winePrefix->starts_with('/')) return WithoutTrailingSlashes(*winePrefix);
  if (home && home->starts_with('/')) return WithoutTrailingSlashes(*home) + "/.wine";
  return WinePrefix();
}

std::string ClientProgramPath(std::string_view image, std::string_view cwd,
                              std::string_view prefix) {
  const std::string path = Slashed(image);
  if (path.empty()) return {};
  if (HasDriveLetter(path)) return Normalised(LocalPathFromWindows(path, prefix));
  if (path.starts_with('/')) return ThroughDrive(Normalised(path), prefix);
  if (!cwd.starts_with('/')) return {};
  return ThroughDrive(Normalised(IncludeTrailingPathDelimiter(std::string(cwd)) + path), prefix);
}

std::string ResolveClientFile(std::string_view path) {
  if (!path.starts_with('/')) return std::string(path);
  std::vector<std::string> parts;
  for (const fs::path& part : fs::path(path).relative_path()) {
    if (!part.empty()) parts.push_back(part.string());
  }
  std::string resolved = "/";
  for (std::size_t i = 0; i < parts.size(); ++i) {
    const bool last = i + 1 == parts.size();
    resolved = FindEntryNoCase(resolved, parts[i], last ? TEntryKind::Any : TEntryKind::Folder);
    if (resolved.empty()) return std::string(path);
  }
  return resolved;
}

std::string ExpandClientPath(std::string_view value, std::string_view installDir) {
  if (value.empty()) return {};
  const std::string path = Slashed(value);
  if (HasDriveLetter(path)) return Normalised(LocalPathFromWindows(path, PrefixOfDir(installDir)));
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
  const std::string configDir = FindEntryNoCase(installDir, kRMClientConfigDir, TEntryKind::Folder);
  const std::string file = configDir.empty()
                               ? std::string()
                               : FindEntryNoCase(configDir, kRMClientConfigFile, TEntryKind::File);
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
  const std::string mainFile = FindEntryNoCase(installDir, kInterProMainFile, TEntryKind::File);
  if (mainFile.empty()) {
    IntProLog("FindInterProCfg - file not found " + std::string(kInterProMainFile));
    return missing();
  }
  const TKvIniFile main(mainFile, TIniEncoding::Cp1251, TIniNameCase::AsciiAndCyrillic);
  const std::string select = main.ReadString("General", "SelectConfig", "");
  const std::string selected = main.ReadString("General", "SelectedConfig", "");
  if (select == "0") {
    if (selected.empty()) {
      IntProLog("FindInterProCfg - parameter \"SelectedConfig\" not set in interpro.ini");
      return missing();
    }
    // The selected name comes from the client's file: it may only name a file of the folder.
    const std::string file = SelectedConfigFile(installDir, selected);
    if (file.empty()) {
      IntProLog("FindInterProCfg - Config file not found " + installDir + selected +
                std::string(kInterProConfigExt));
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
    for (const std::string& file : found) configFiles.Add(file);
    IntProLog("FindInterProCfg - found " + std::to_string(found.Count()) + " in " + installDir);
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
  // The clients' own system folds Cyrillic letters too when it compares these names.
  ini_ = std::make_unique<TKvIniFile>(configFiles_[n], TIniEncoding::Cp1251,
                                      TIniNameCase::AsciiAndCyrillic);
  if (isRMClient_) {
    FillContextListRMClient();
  } else {
    ReadContextsNumber();
  }
}

void TInterProConfig::FillContextListRMClient() {
  contextNames_.Clear();
  for (const std::string& key : ini_->ReadSection(kRMClientSection)) {
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
  IntProLog("ReadConfig - ContextsNumber=" + std::to_string(number));
  // The number comes from the client's file: it must not make a listing run for ever. The
  // contexts after the last section of the file would all be read empty, so the reading
  // stops there, with the same result.
  std::int32_t last = 0;
  for (const std::string& section : ini_->ReadSections()) {
    std::int32_t k = 0;
    if (StartsText(kInterProContextSection, section) &&
        TryParseInt(std::string_view(section).substr(kInterProContextSection.size()), k))
      last = std::max(last, k);
  }
  contextsNumber_ = std::clamp(number, std::int32_t{0}, last);
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
  const std::string section = std::string(kInterProContextSection) + std::to_string(k);
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
