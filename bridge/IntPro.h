// The configuration of the outside signing clients RMClient and InterPro, read only: finds the
// installed client (through its running process, a search folder, or the folder remembered
// from an earlier success), its configuration files, and the key contexts they name (name,
// key folder, secret key, certificate file). RMClient is looked for first, InterPro only when
// no RMClient configuration is found. Every step writes a message record with the data text
// "IntPro" to the host log. Nothing here raises; every outcome is a result code or an empty
// value.
//
// Linux stand-ins for the places of the clients' own system:
// - The clients run under the compatibility layer that runs programs of their first OS (or
//   natively); their program paths, and the paths in their files, may be Windows paths. '\'
//   is read as '/', and a drive letter X: stands for the folder `<prefix>/dosdevices/x:`, the
//   layer's own drive mapping. A running client's <prefix> is its own: the WINEPREFIX of its
//   environment, else its HOME + "/.wine", else the program's. A folder on a client's drive
//   is written through the drive's folder, so the paths named in its files keep their drive;
//   a folder lying on no drive goes with the program's prefix: $WINEPREFIX when it is an
//   absolute path and `$HOME/.wine` otherwise (honoured in every build).
// - A program started there by a relative name has its process's working folder as its folder.
// - File names match without regard to letter case (ASCII and the Cyrillic capitals), as on
//   the clients' own system, and so do the section and key names in their files; the exact
//   name is tried first.
// - Their files are CP1251 text (a UTF-8 byte order mark marks a UTF-8 one).
//
// Everything a client's file gives is untrusted: a selected configuration name must name a
// file inside the install folder; a context number is followed only as far as the file holds
// context sections; the ini reader bounds the file size.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "KvIniFile.h"
#include "KvObject.h"
#include "KvStringList.h"

namespace dravik {

// Result codes of the searches.
inline constexpr int kInterProFound = 0;
inline constexpr int kInterProNoInstallDir = -140;  // no process, no file found, nothing remembered
inline constexpr int kInterProNoConfig = -141;      // the folder is known, its configuration is not

// The clients' files.
inline constexpr std::string_view kRMClientProgram = "rmclient.exe";
inline constexpr std::string_view kRMClientAltProgram = "CWS.exe";
inline constexpr std::string_view kRMClientConfigDir = "LC";
inline constexpr std::string_view kRMClientConfigFile = "Подпись.ini";
inline constexpr std::string_view kRMClientSection = "Подпись";
inline constexpr std::string_view kRMClientKeyDirSuffix = "_PSEDIR(17)";
inline constexpr std::string_view kRMClientSecretKeySuffix = "_PRVKEY(16)";
inline constexpr std::string_view kRMClientCertificateSuffix = "_CERT(16)";
inline constexpr std::string_view kInterProProgram = "intpro.exe";
inline constexpr std::string_view kInterProMainFile = "interpro.ini";
inline constexpr std::string_view kInterProConfigMask = "*.cnf";
inline constexpr std::string_view kInterProConfigExt = ".cnf";
inline constexpr std::string_view kInterProContextSection = "SSLContext";  // + its number

// One key context of a client's configuration. The path fields hold absolute file paths or
// token paths (U_TokenPath.h), or are empty.
struct TInterProContext {
  std::string Name;
  std::int32_t UsePSE = 0;
  std::string PSeDir;
  std::string PSeSecretKey;
  std::string Certificate;
};

// Where the running programs are looked for.
class IProcessFinder {
 public:
  virtual ~IProcessFinder() = default;
  // The program file (a Linux path, or a Windows path on the program's own drives) of the
  // first running process whose program has the file name `fileName` (letter case ignored);
  // "" when none.
  virtual std::string ProgramPathOf(std::string_view fileName) const = 0;
};

// The running processes, from /proc.
const IProcessFinder& SystemProcessFinder() noexcept;

// A client's install folder remembered from the last search that found its configuration,
// so that a later listing finds it after the client's process has ended. Any thread.
class TRememberedDir {
 public:
  std::string Get() const;
  void Set(std::string dir);

 private:
  mutable std::mutex lock_;
  std::string dir_;
};

// The program's two remembered folders, for the whole run.
TRememberedDir& LastRMClientInstallDir() noexcept;
TRememberedDir& LastInterProInstallDir() noexcept;

// The folder that the drive letter stands for: `<prefix>/dosdevices/<letter in lower case>:`,
// of the program's own prefix or of the one given.
std::string WindowsDriveFolder(char letter);
std::string WindowsDriveFolder(char letter, std::string_view prefix);
// A path of the clients' system as a Linux path: '\' becomes '/', a leading drive "X:" its
// folder (of the program's own prefix or of the one given); any other path keeps its form.
// Not normalised.
std::string LocalPathFromWindows(std::string_view path);
std::string LocalPathFromWindows(std::string_view path, std::string_view prefix);
// The prefix of a client process from the values of its environment: its WINEPREFIX when
// that is an absolute path, else its HOME + "/.wine" when HOME is one, else the program's.
std::string ClientWinePrefix(const std::optional<std::string>& winePrefix,
                             const std::optional<std::string>& home);
// The program file of a client process in `prefix` as a Linux path: a drive path goes to its
// drive's folder; a relative one (a program started by a relative name) lies in `cwd`; a
// Linux path inside the target of one of the prefix's drives (drive_c, say) is written
// through that drive's folder, `<prefix>/dosdevices/c:/...`. "" when a relative path has no
// absolute `cwd`.
std::string ClientProgramPath(std::string_view image, std::string_view cwd,
                              std::string_view prefix);
// A configuration value made absolute against `installDir` (a Linux folder ending with '/'):
// a drive path goes to its drive's folder (of the prefix that `installDir` lies in, else of
// the program's), a value beginning with a separator is taken on the drive of `installDir`
// (the Linux root when that folder lies on no drive), any other value is appended to
// `installDir`; "." and ".." are then resolved lexically. Empty stays empty.
std::string ExpandClientPath(std::string_view value, std::string_view installDir);
// The file that an absolute path of a client's files names: component by component the exact
// name, else the first entry matching without letter case; the path as given when some
// component matches nothing, and any other path as given.
std::string ResolveClientFile(std::string_view path);

// WriteLog with no sender, kind 2 and the data text "IntPro".
void IntProLog(std::string_view text) noexcept;
// The key without its last 11 characters when it is longer than 11 and they are
// "_PSEDIR(17)" (letter case ignored); else "".
std::string ContextNameFromKey(std::string_view key);

// The searches: installDir receives the client's install folder (ending with '/') or "".
int FindRMClientInstallDir(std::string_view searchRoot, std::string& installDir,
                           const IProcessFinder& processes = SystemProcessFinder());
int FindInterProInstallDir(std::string_view searchRoot, std::string& installDir,
                           const IProcessFinder& processes = SystemProcessFinder());
// The configuration searches: found files are added to configFiles with their full names.
// A search that reaches the configuration step (through the process, the search root or
// lastDir) sets lastDir to the folder when it finds the configuration, and empties it when not.
int FindRMClientCfg(std::string_view searchRoot, TRememberedDir& lastDir, std::string& installDir,
                    TStringList& configFiles,
                    const IProcessFinder& processes = SystemProcessFinder());
int FindInterProCfg(std::string_view searchRoot, TRememberedDir& lastDir, std::string& installDir,
                    TStringList& configFiles,
                    const IProcessFinder& processes = SystemProcessFinder());

// One listing of an outside client's key contexts: Initialize, then for n from 0 to
// ConfigCount() - 1 ReadConfig(n) and for k from 1 to ContextsNumber() ReadContext(k).
// Lives for one listing on one thread.
class TInterProConfig : public TKvObject {
 public:
  explicit TInterProConfig(const IProcessFinder& processes = SystemProcessFinder(),
                           TRememberedDir& lastRMClientDir = LastRMClientInstallDir(),
                           TRememberedDir& lastInterProDir = LastInterProInstallDir());
  TInterProConfig(const TInterProConfig&) = delete;
  TInterProConfig& operator=(const TInterProConfig&) = delete;
  ~TInterProConfig() override;
  DRAVIK_CLASS_NAME(TInterProConfig)

  // Finds the client and its configuration files; a result code. An empty search root
  // finds clients only through their processes and the remembered folders.
  int Initialize(std::string_view searchRoot);
  // Opens configuration file n (from 0) and determines its contexts; out of range, nothing
  // is open and there are no contexts. An InterPro file's "ContextsNumber" is logged as the
  // file gives it; ContextsNumber() is that number, but no more than the last context section
  // the file holds, since every context after it would be read empty.
  void ReadConfig(int n);
  // Context := context k (from 1) of the open configuration; an empty context when there is
  // no such one.
  void ReadContext(int k);

  // Readers of the open configuration; `def` when no file is open.
  std::string ReadString(std::string_view section, std::string_view key,
                         std::string_view def) const;
  std::int32_t ReadInteger(std::string_view section, std::string_view key, std::int32_t def) const;
  // The value as it stands when it is empty or a token path, else ExpandClientPath against
  // InstallDir().
  std::string ReadPath(std::string_view section, std::string_view key, std::string_view def) const;

  bool IsRMClient() const noexcept { return isRMClient_; }
  const std::string& InstallDir() const noexcept { return installDir_; }
  const TStringList& ConfigFiles() const noexcept { return configFiles_; }
  int ConfigCount() const noexcept { return configCount_; }
  const TStringList& ContextNames() const noexcept { return contextNames_; }
  std::int32_t ContextsNumber() const noexcept { return contextsNumber_; }
  const TInterProContext& Context() const noexcept { return context_; }
  // The configuration opened last; null before the first ReadConfig and after one out of
  // range.
  const TKvIniFile* Ini() const noexcept { return ini_.get(); }

 private:
  void FillContextListRMClient();
  void ReadContextsNumber();

  const IProcessFinder& processes_;
  TRememberedDir& lastRMClientDir_;
  TRememberedDir& lastInterProDir_;

  TStringList contextNames_;
  bool isRMClient_ = false;
  std::string installDir_;
  TStringList configFiles_;
  int configCount_ = 0;
  std::unique_ptr<TKvIniFile> ini_;
  TInterProContext context_;
  std::int32_t contextsNumber_ = 0;
};

}  // namespace dravik
