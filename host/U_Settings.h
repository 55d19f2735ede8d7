// The program's settings: the groups that each read, write, describe and compare their own
// keys of one ini section, and the host settings that own them together with the in-memory
// copy of the ini file. The server group holds the trusted-domain list (DomainList.h).
//
// Thread safety:
// - TDaemonSettings: Port, DefaultPort and their setters may be used from any thread.
// - TCommonSettings: DomainList, Domains and SetDomains may be used from any thread; its
//   default text, Load, Save and IsChangedIn belong to its owner, which serialises them
//   (THostSettings holds its lock for them).
// - THostSettings: every operation is safe from any thread. Its lock is never held while a
//   question to the user is open or an event runs.
#pragma once

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "DomainList.h"
#include "KvIniFile.h"
#include "KvObject.h"

namespace dravik {

// The operator's sites, trusted out of the box, in the text form of a domain list.
inline constexpr std::string_view kBuiltInDomains =
    "online.dravik-bank.example;business.dravik-bank.example;sign.dravik-bank.example;"
    "www.dravik-bank.example;dravik-bank.example";

// A group of settings kept in one section of the ini file. Load and Save do nothing
// without an ini object.
class TBasicSettings {
 public:
  TBasicSettings() = default;
  TBasicSettings(const TBasicSettings&) = delete;
  TBasicSettings& operator=(const TBasicSettings&) = delete;
  virtual ~TBasicSettings() = default;

  virtual void Load(TKvIniFile* ini, std::string_view section) = 0;
  virtual void Save(TKvIniFile* ini, std::string_view section) = 0;
  virtual std::string Describe() const = 0;
  // True when a key of the section (a missing one counting as its default) differs from
  // the value in memory.
  virtual bool IsChangedIn(const TKvIniFile* ini, std::string_view section) const = 0;
  // True when a counted value differs from its default.
  virtual bool IsModified() const = 0;
};

// The settings of one listener: its port, key "Port".
class TDaemonSettings : public TBasicSettings {
 public:
  std::int32_t Port() const noexcept { return port_.load(std::memory_order_relaxed); }
  void SetPort(std::int32_t port) noexcept { port_.store(port, std::memory_order_relaxed); }
  std::int32_t DefaultPort() const noexcept { return defaultPort_.load(std::memory_order_relaxed); }
  // The port and the default port both become `port`.
  void SetDefault(std::int32_t port) noexcept;

  void Load(TKvIniFile* ini, std::string_view section) override;
  void Save(TKvIniFile* ini, std::string_view section) override;
  std::string Describe() const override;  // "Port: %d"
  bool IsChangedIn(const TKvIniFile* ini, std::string_view section) const override;
  bool IsModified() const override;

 private:
  std::atomic<std::int32_t> port_{0};
  std::atomic<std::int32_t> defaultPort_{0};
};

// The server group: the trusted domains, key "Domains", in the list's ';' text form.
class TCommonSettings : public TBasicSettings {
 public:
  TDomainListPlus& DomainList() noexcept { return domainList_; }
  const TDomainListPlus& DomainList() const noexcept { return domainList_; }

  // The ';' text form of the list's lines.
  std::string Domains() const;
  // Nothing when `text` is the current text form exactly; otherwise the lines become its
  // lines and Origins is rebuilt.
  void SetDomains(const std::string& text);
  // Keeps `text` as the default domains and makes it the domains.
  void SetDefault(const std::string& text);
  const std::string& DefaultDomains() const noexcept { return defaultDomains_; }

  // Reads "Domains" (default: the default domains) and puts every missing default domain
  // back at the front, then rebuilds Origins; without an ini object only the latter.
  void Load(TKvIniFile* ini, std::string_view section) override;
  void Save(TKvIniFile* ini, std::string_view section) override;
  std::string Describe() const override;  // "Domains: %s"
  bool IsChangedIn(const TKvIniFile* ini, std::string_view section) const override;
  bool IsModified() const override;  // the domains are never counted

 private:
  TDomainListPlus domainList_;
  std::string defaultDomains_;
};

enum class TSettingsGroup { sgServer, sgServerRPC, sgServerSSL, sgHost };

// A set of settings groups, one bit each in the order of TSettingsGroup; Save reads the
// empty set as all four.
class TSettingsGroups {
 public:
  constexpr TSettingsGroups() noexcept = default;
  // Implicit, so that a single group can be passed where a set is taken.
  constexpr TSettingsGroups(TSettingsGroup group) noexcept : bits_(Bit(group)) {}
  constexpr TSettingsGroups(std::initializer_list<TSettingsGroup> groups) noexcept {
    for (TSettingsGroup group : groups) bits_ |= Bit(group);
  }

  constexpr bool Contains(TSettingsGroup group) const noexcept { return (bits_ & Bit(group)) != 0; }
  constexpr bool Empty() const noexcept { return bits_ == 0; }
  constexpr std::uint8_t Bits() const noexcept { return bits_; }
  constexpr TSettingsGroups& Include(TSettingsGroup group) noexcept {
    bits_ |= Bit(group);
    return *this;
  }
  // Whether a save of this set writes the group: the set holds it or is empty.
  constexpr bool Selects(TSettingsGroup group) const noexcept { return Empty() || Contains(group); }

  constexpr bool operator==(const TSettingsGroups&) const noexcept = default;

 private:
  static constexpr std::uint8_t Bit(TSettingsGroup group) noexcept {
    return static_cast<std::uint8_t>(1u << static_cast<unsigned>(group));
  }
  std::uint8_t bits_ = 0;
};

// All settings of the program, kept in one ini file. Values are written back only when the
// file holds something else, so a program running on defaults leaves no file behind.
class THostSettings : public TKvObject {
 public:
  static constexpr std::int32_t kDefaultIdleTime = 300;
  static constexpr std::int32_t kDefaultHttpPort = 11741;
  static constexpr std::int32_t kDefaultHttpsPort = 11742;

  // On the program's ini file (THostLoger::GetIniFileName()); see the other constructor.
  THostSettings();
  // Reads the file into the in-memory copy (an absent file gives an empty copy) and sets
  // every value to its default; does not load.
  explicit THostSettings(std::string iniFileName);
  THostSettings(const THostSettings&) = delete;
  THostSettings& operator=(const THostSettings&) = delete;
  ~THostSettings() override;
  DRAVIK_CLASS_NAME(THostSettings)

  const std::string& IniFileName() const noexcept { return iniFileName_; }

  // Reads every value from the in-memory copy.
  void Load();
  // When the copy differs from memory anywhere, writes the chosen groups into it and
  // rewrites the file. Throws what the file system refuses; the values stay in memory and
  // in the copy, and the next save writes the file even when nothing changed since.
  void Save(TSettingsGroups groups = {});
  bool IsChangedInFile() const;
  // True when the idle time, the proxy monitor or a port differs from its default.
  bool IsModified() const;
  // Writes the summary to the host log as the record "Current settings".
  void LogSettings() const;
  // The summary's lines joined by CR LF.
  std::string SettingsSummary() const;
  void SetDefaults();

  bool DevMode() const;  // read from the file only, never written
  std::int32_t IdleTime() const;
  void SetIdleTime(std::int32_t seconds);
  std::string LogFileName() const;
  void SetLogFileName(std::string fileName);
  bool ProxyMonitor() const;
  void SetProxyMonitor(bool on);

  TDaemonSettings& Server_RPC() noexcept { return *serverRpc_; }
  const TDaemonSettings& Server_RPC() const noexcept { return *serverRpc_; }
  TDaemonSettings& Server_SSL() noexcept { return *serverSsl_; }
  const TDaemonSettings& Server_SSL() const noexcept { return *serverSsl_; }
  TCommonSettings& Server() noexcept { return *server_; }
  const TCommonSettings& Server() const noexcept { return *server_; }

 private:
  // The caller holds lock_.
  bool IsChangedInFileLocked() const;
  void SetDefaultsLocked();

  std::string iniFileName_;
  mutable std::mutex lock_;  // the values, the groups' defaults and the ini copy
  std::unique_ptr<TKvIniFile> ini_;
  bool devMode_ = false;
  std::int32_t idleTime_ = kDefaultIdleTime;
  std::string logFileName_;
  bool proxyMonitor_ = false;
  bool unwritten_ = false;  // the last write of the file failed
  std::unique_ptr<TDaemonSettings> serverRpc_;
  std::unique_ptr<TDaemonSettings> serverSsl_;
  std::unique_ptr<TCommonSettings> server_;
};

}  // namespace dravik
