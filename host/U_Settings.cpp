#include "U_Settings.h"

#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "U_LogFile.h"

namespace dravik {

namespace {

constexpr std::string_view kSectionServer = "Server";
constexpr std::string_view kSectionLog = "Log";
constexpr std::string_view kSectionHttp = "Server_HTTP";
constexpr std::string_view kSectionHttps = "Server_HTTPS";
constexpr std::string_view kKeyDevMode = "DevMode";
constexpr std::string_view kKeyIdleTime = "IdleTime";
constexpr std::string_view kKeyFileName = "FileName";
constexpr std::string_view kKeyProxyMonitor = "ProxyMonitor";
constexpr std::string_view kKeyPort = "Port";
constexpr std::string_view kKeyDomains = "Domains";

// A Boolean is on only when its value begins with '1'; an empty or missing value is `def`.
bool ReadBool(const TKvIniFile& ini, std::string_view section, std::string_view key, bool def) {
  const std::string value = ini.ReadString(section, key, "");
  return value.empty() ? def : value.front() == '1';
}

void WriteBool(TKvIniFile& ini, std::string_view section, std::string_view key, bool value) {
  ini.WriteString(section, key, value ? "1" : "0");
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// TDaemonSettings

void TDaemonSettings::SetDefault(std::int32_t port) noexcept {
  defaultPort_.store(port, std::memory_order_relaxed);
  port_.store(port, std::memory_order_relaxed);
}

void TDaemonSettings::Load(TKvIniFile* ini, std::string_view section) {
  if (ini) SetPort(ini->ReadInteger(section, kKeyPort, DefaultPort()));
}

void TDaemonSettings::Save(TKvIniFile* ini, std::string_view section) {
  if (ini) ini->WriteInteger(section, kKeyPort, Port());
}

std::string TDaemonSettings::Describe() const { return "Port: " + std::to_string(Port()); }

bool TDaemonSettings::IsChangedIn(const TKvIniFile* ini, std::string_view section) const {
  return ini && ini->ReadInteger(section, kKeyPort, DefaultPort()) != Port();
}

bool TDaemonSettings::IsModified() const { return Port() != DefaultPort(); }

// ---------------------------------------------------------------------------------------------
// TCommonSettings

std::string TCommonSettings::Domains() const { return domainList_.DelimitedText(); }

void TCommonSettings::SetDomains(const std::string& text) { domainList_.ReplaceDomains(text); }

void TCommonSettings::SetDefault(const std::string& text) {
  defaultDomains_ = text;
  SetDomains(text);
}

void TCommonSettings::Load(TKvIniFile* ini, std::string_view section) {
  std::optional<std::string> text;
  if (ini) text = ini->ReadString(section, kKeyDomains, defaultDomains_);
  // One replacement, so that no reader sees the file's domains without the built-in ones.
  domainList_.ReplaceDomains(text ? std::optional<std::string_view>(*text) : std::nullopt,
                             defaultDomains_);
}

void TCommonSettings::Save(TKvIniFile* ini, std::string_view section) {
  if (ini) ini->WriteString(section, kKeyDomains, Domains());
}

std::string TCommonSettings::Describe() const { return "Domains: " + Domains(); }

bool TCommonSettings::IsChangedIn(const TKvIniFile* ini, std::string_view section) const {
  return ini && ini->ReadString(section, kKeyDomains, defaultDomains_) != Domains();
}

bool TCommonSettings::IsModified() const { return false; }

// ---------------------------------------------------------------------------------------------
// THostSettings

THostSettings::THostSettings() : THostSettings(THostLoger::GetIniFileName()) {}

THostSettings::THostSettings(std::string iniFileName)
    : iniFileName_(std::move(iniFileName)),
      ini_(std::make_unique<TKvIniFile>(iniFileName_)),
      serverRpc_(std::make_unique<TDaemonSettings>()),
      serverSsl_(std::make_unique<TDaemonSettings>()),
      server_(std::make_unique<TCommonSettings>()) {
  std::lock_guard lock(lock_);
  SetDefaultsLocked();
}

THostSettings::~THostSettings() {
  serverRpc_.reset();
  serverSsl_.reset();
  server_.reset();
  ini_.reset();
}

void THostSettings::Load() {
  std::lock_guard lock(lock_);
  devMode_ = ReadBool(*ini_, kSectionServer, kKeyDevMode, false);
  idleTime_ = ini_->ReadInteger(kSectionServer, kKeyIdleTime, kDefaultIdleTime);
  logFileName_ = ini_->ReadString(kSectionLog, kKeyFileName, "");
  proxyMonitor_ = ReadBool(*ini_, kSectionServer, kKeyProxyMonitor, false);
  serverRpc_->Load(ini_.get(), kSectionHttp);
  serverSsl_->Load(ini_.get(), kSectionHttps);
  server_->Load(ini_.get(), kSectionServer);
}

void THostSettings::Save(TSettingsGroups groups) {
  std::lock_guard lock(lock_);
  if (!IsChangedInFileLocked() && !unwritten_) return;
  if (groups.Selects(TSettingsGroup::sgHost)) {
    ini_->WriteInteger(kSectionServer, kKeyIdleTime, idleTime_);
    ini_->WriteString(kSectionLog, kKeyFileName, logFileName_);
    WriteBool(*ini_, kSectionServer, kKeyProxyMonitor, proxyMonitor_);
  }
  if (groups.Selects(TSettingsGroup::sgServerRPC)) serverRpc_->Save(ini_.get(), kSectionHttp);
  if (groups.Selects(TSettingsGroup::sgServerSSL)) serverSsl_->Save(ini_.get(), kSectionHttps);
  if (groups.Selects(TSettingsGroup::sgServer)) server_->Save(ini_.get(), kSectionServer);
  // The copy now matches memory, so a failed write must be remembered for the next save.
  unwritten_ = true;
  ini_->UpdateFile();
  unwritten_ = false;
}

bool THostSettings::IsChangedInFile() const {
  std::lock_guard lock(lock_);
  return IsChangedInFileLocked();
}

bool THostSettings::IsChangedInFileLocked() const {
  return ReadBool(*ini_, kSectionServer, kKeyDevMode, false) != devMode_ ||
         ini_->ReadInteger(kSectionServer, kKeyIdleTime, kDefaultIdleTime) != idleTime_ ||
         ini_->ReadString(kSectionLog, kKeyFileName, "") != logFileName_ ||
         ReadBool(*ini_, kSectionServer, kKeyProxyMonitor, false) != proxyMonitor_ ||
         serverRpc_->IsChangedIn(ini_.get(), kSectionHttp) ||
         serverSsl_->IsChangedIn(ini_.get(), kSectionHttps) ||
         server_->IsChangedIn(ini_.get(), kSectionServer);
}

bool THostSettings::IsModified() const {
  std::lock_guard lock(lock_);
  return idleTime_ != kDefaultIdleTime || proxyMonitor_ || serverRpc_->IsModified() ||
         serverSsl_->IsModified() || server_->IsModified();
}

std::string THostSettings::SettingsSummary() const {
  std::lock_guard lock(lock_);
  std::string text = "HTTP " + serverRpc_->Describe();
  text += "\r\nHTTPS " + serverSsl_->Describe();
  text += "\r\n" + server_->Describe();
  text += "\r\nIdle time: " + std::to_string(idleTime_) + " сек.";
  text += std::string("\r\nProxy Monitor: ") + (proxyMonitor_ ? "True" : "False");
  if (!logFileName_.empty()) text += "\r\nLog File Name: " + logFileName_;
  if (devMode_) text += "\r\nDeveloper mode ON!";
  return text;
}

void THostSettings::LogSettings() const {
  // Built first, so that the settings lock is not held while the log writes.
  const std::string summary = SettingsSummary();
  WriteLog(this, "Current settings", 2, summary);
}

void THostSettings::SetDefaults() {
  std::lock_guard lock(lock_);
  SetDefaultsLocked();
}

void THostSettings::SetDefaultsLocked() {
  devMode_ = false;
  idleTime_ = kDefaultIdleTime;
  logFileName_.clear();
  proxyMonitor_ = false;
  serverRpc_->SetDefault(kDefaultHttpPort);
  serverSsl_->SetDefault(kDefaultHttpsPort);
  server_->SetDefault(std::string(kBuiltInDomains));
}

bool THostSettings::DevMode() const {
  std::lock_guard lock(lock_);
  return devMode_;
}

std::int32_t THostSettings::IdleTime() const {
  std::lock_guard lock(lock_);
  return idleTime_;
}

void THostSettings::SetIdleTime(std::int32_t seconds) {
  std::lock_guard lock(lock_);
  idleTime_ = seconds;
}

std::string THostSettings::LogFileName() const {
  std::lock_guard lock(lock_);
  return logFileName_;
}

void THostSettings::SetLogFileName(std::string fileName) {
  std::lock_guard lock(lock_);
  logFileName_ = std::move(fileName);
}

bool THostSettings::ProxyMonitor() const {
  std::lock_guard lock(lock_);
  return proxyMonitor_;
}

void THostSettings::SetProxyMonitor(bool on) {
  std::lock_guard lock(lock_);
  proxyMonitor_ = on;
}

}  // namespace dravik
