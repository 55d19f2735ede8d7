#include "U_InitSSL.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/crypto.h>
#include <openssl/ssl.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "DravikConfig.h"
#include "Environment.h"
#include "KvCommonUtils.h"
#include "Resources.h"
#include "U_LogFile.h"

namespace dravik {
namespace {

constexpr std::uint8_t kLogWarning = 1;
constexpr std::uint8_t kLogMessage = 2;

constexpr std::string_view kSslLibraryName = "libssl.so.3";
constexpr std::string_view kCryptoLibraryName = "libcrypto.so.3";

// Overwrites the whole buffer of a text that held a secret, then empties it.
void WipeText(std::string& text) noexcept {
  text.resize(text.capacity());  // within the capacity, so nothing is reallocated
  OPENSSL_cleanse(text.data(), text.size());
  text.clear();
}

// Wipes a local copy of the pass phrase however its scope is left.
class TWipeOnExit {
 public:
  explicit TWipeOnExit(std::string& text) noexcept : text_(text) {}
  TWipeOnExit(const TWipeOnExit&) = delete;
  TWipeOnExit& operator=(const TWipeOnExit&) = delete;
  ~TWipeOnExit() { WipeText(text_); }

 private:
  std::string& text_;
};

// The material last prepared: SSLCertCAFile, SSLCertificateFile, SSLPrivateKeyFile (indexed
// by TsslResource) and SSLKeyPassword. Guarded by SSLDataLock.
struct TSslData {
  std::array<std::string, kSslResourceCount> files;
  std::string keyPassword;

  TSslData() = default;
  TSslData(const TSslData&) = delete;
  TSslData& operator=(const TSslData&) = delete;
  ~TSslData() { WipeText(keyPassword); }
};

TSslData& SslData() {
  static TSslData data;
  return data;
}

// Created by InitInitSSL and freed by FinalizeInitSSL, both on the main thread while no
// connection thread exists, so the pointer itself needs no guard.
constinit std::unique_ptr<std::mutex> SSLDataLock;

std::mutex& DataLock() {
  if (!SSLDataLock) throw ESSLDataError("The SSL data lock does not exist");
  return *SSLDataLock;
}

// TempFiles: every file SaveToTempFile wrote; absent until the first one.
struct TTempFiles {
  std::mutex lock;
  std::optional<std::vector<std::string>> names;
};

TTempFiles& TempFiles() {
  static TTempFiles files;
  return files;
}

bool IsExistingFile(const std::string& fileName) noexcept {
  struct stat status {};
  return !fileName.empty() && ::stat(fileName.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

void WriteAll(int fd, const std::string& fileName, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      throw EWriteError("Cannot write file \"" + fileName + "\". " + SysErrorMessage(errno));
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
}

// The state of a library of ours that holds `function`: its real path and OpenSSL's version.
TOpenSSLLibraryState LibraryState(std::string_view defaultName, const void* function) {
  TOpenSSLLibraryState state;
  state.defaultName = defaultName;
  Dl_info info{};
  if (::dladdr(function, &info) != 0 && info.dli_fname != nullptr && *info.dli_fname != '\0') {
    state.loaded = true;
    const std::unique_ptr<char, decltype(&std::free)> real(::realpath(info.dli_fname, nullptr),
                                                           &std::free);
    state.fileName = real ? real.get() : info.dli_fname;
    state.version = OpenSSL_version(OPENSSL_VERSION);
  } else {
    state.fileName = FindOnSearchPath(defaultName);
    if (!state.fileName.empty()) state.version = GetFileVersion(state.fileName);
  }
  state.fileExists = IsExistingFile(state.fileName);
  return state;
}

// AddLibraryReportLine: the library's line, after CR LF.
void AddLibraryReportLine(std::string& report, const TOpenSSLLibraryState& library) {
  report += "\r\n\t";
  if (!library.fileName.empty() && library.fileExists) {
    report += "[";
    report += library.loaded ? "загружена" : "не загружена";
    report += "] " + library.fileName + " (" + library.version + ")";
  } else {
    report += library.defaultName;
    report += " не найдена!";
  }
}

}  // namespace

TSslConnectionSettings::~TSslConnectionSettings() { WipeText(KeyPassword); }

std::string LoadSSLResource(std::string_view name) { return platform::ResourceText(name); }

std::string SaveToTempFile(const std::string& text) {
  TTempFiles& temp = TempFiles();
  {
    const std::lock_guard lock(temp.lock);
    if (!temp.names) temp.names.emplace();
  }
  const std::string dir = platform::TempDir();
  std::string fileName = (dir == "/" ? dir : dir + "/") + "DravikSSL-XXXXXX";
  // A name no file or folder has yet, created with O_EXCL and mode 0600.
  const int fd = ::mkostemp(fileName.data(), O_CLOEXEC);
  if (fd < 0)
    throw EFCreateError("Cannot create file \"" + fileName + "\". " + SysErrorMessage(errno));
  try {
    try {
      WriteAll(fd, fileName, text);
    } catch (...) {
      ::close(fd);
      throw;
    }
    if (::close(fd) != 0)
      throw EWriteError("Cannot write file \"" + fileName + "\". " + SysErrorMessage(errno));
    const std::lock_guard lock(temp.lock);
    if (!temp.names) temp.names.emplace();  // cleared meanwhile
    temp.names->push_back(fileName);
  } catch (...) {
    ::unlink(fileName.c_str());
    throw;
  }
  return fileName;
}

std::string BuildKeyPassword(std::string_view certCA, std::string_view certificate,
                             std::string_view privateKey) {
  const std::array<std::string_view, kSslResourceCount> texts = {certCA, certificate, privateKey};
  std::string password(kKeyPasswordLength, '\0');
  const std::size_t fault = ComposeKeyPassword(
      texts, std::span<char, kKeyPasswordLength>(password.data(), kKeyPasswordLength));
  if (fault < kKeyPasswordLength) {
    const auto item = static_cast<std::size_t>(KeyPasswordTable[fault].resource);
    throw ESSLDataError("The resource " + std::string(SSLResourceNames[item]) +
                        " is missing or too short for the key pass phrase");
  }
  return password;
}

void PrepareSSLData(const TKvObject* sender) noexcept {
  try {
    WriteLog(sender, "Preparing SSL data...", kLogMessage);
    std::array<std::string, kSslResourceCount> texts;
    for (std::size_t i = 0; i < kSslResourceCount; ++i)
      texts[i] = LoadSSLResource(SSLResourceNames[i]);
    {
      const std::lock_guard lock(DataLock());
      TSslData& data = SslData();
      // Each name is set as soon as its file is written, so that the names written before
      // an error stay set.
      for (std::size_t i = 0; i < kSslResourceCount; ++i) data.files[i] = SaveToTempFile(texts[i]);
      std::string password = BuildKeyPassword(texts[0], texts[1], texts[2]);
      const TWipeOnExit wipe(password);
      data.keyPassword.assign(password);  // overwrites the old pass phrase in place
    }
    WriteLog(sender, "SSL data prepared!", kLogMessage);
  } catch (const std::exception& e) {
    LogException(sender, "Preparing SSL data", e);
  }
}

bool SSLFilesReady() {
  std::array<std::string, kSslResourceCount> files;
  {
    if (!SSLDataLock) return false;
    const std::lock_guard lock(*SSLDataLock);
    files = SslData().files;
  }
  for (const std::string& file : files)
    if (!IsExistingFile(file)) return false;
  return true;
}

void InitSSLConnection(TSslConnectionSettings& ssl) noexcept {
  try {
    if (!SSLFilesReady()) PrepareSSLData(&ssl);
    WriteLog(&ssl, "Initializing SSL connection...", kLogMessage);
    {
      const std::lock_guard lock(DataLock());
      const TSslData& data = SslData();
      ssl.CertCAFile = data.files[static_cast<std::size_t>(TsslResource::sslCertCA)];
      ssl.CertificateFile = data.files[static_cast<std::size_t>(TsslResource::sslCertificate)];
      ssl.PrivateKeyFile = data.files[static_cast<std::size_t>(TsslResource::sslPrivateKey)];
      ssl.KeyPassword.assign(data.keyPassword);
    }
    ssl.VerifyCert = false;
    WriteLog(&ssl, "SSL connection initialized!", kLogMessage);
  } catch (const std::exception& e) {
    LogException(&ssl, "Initializing SSL connection", e);
  }
}

void ClearTempFiles() noexcept {
  std::vector<std::string> names;
  {
    TTempFiles& temp = TempFiles();
    const std::lock_guard lock(temp.lock);
    if (!temp.names) return;
    names.swap(*temp.names);
    temp.names.reset();
  }
  WriteLog(nullptr, "Clearing temporary files...", kLogMessage);
  for (const std::string& name : names) {
    if (::unlink(name.c_str()) == 0) continue;
    try {
      WriteLog(nullptr, "Failed to delete temporary file: " + name, kLogWarning);
    } catch (const std::exception&) {
      // Out of memory for the message: the remaining files are still deleted.
    }
  }
  WriteLog(nullptr, "Temporary files cleared!", kLogMessage);
}

bool ResolveHostIPv4(std::string_view hostName, std::string& address) {
  address.clear();
  const std::string host(hostName);
  if (host.empty() || host.find('\0') != std::string::npos) return false;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return false;
  const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> list(found, &::freeaddrinfo);
  for (const addrinfo* entry = list.get(); entry != nullptr; entry = entry->ai_next) {
    if (entry->ai_family != AF_INET || entry->ai_addr == nullptr) continue;
    char text[INET_ADDRSTRLEN] = {};
    const auto* ipv4 = reinterpret_cast<const sockaddr_in*>(entry->ai_addr);
    if (::inet_ntop(AF_INET, &ipv4->sin_addr, text, sizeof text) == nullptr) continue;
    address = text;
    return true;
  }
  return false;
}

bool CheckServerHostName(std::string& address) {
  return ResolveHostIPv4(DRAVIK_SERVER_HOST, address);
}

bool IsServerHostNameAvailable() {
  std::string address;
  return CheckServerHostName(address);
}

std::string MakeServerHostNameReport(std::string_view hostName) {
  std::string address;
  const std::string host(hostName);
  if (ResolveHostIPv4(hostName, address)) return "Адрес " + host + " (" + address + ") доступен!";
  return "Адрес " + host + " НЕ доступен!";
}

std::string GetServerHostNameReport() {
  static const std::string report = MakeServerHostNameReport(DRAVIK_SERVER_HOST);
  return report;
}

std::string FormatOpenSSLReport(const TOpenSSLLibraryState& ssl,
                                const TOpenSSLLibraryState& crypto) {
  std::string report = ssl.loaded && crypto.loaded ? "Библиотеки OpenSSL загружены"
                                                   : "Библиотеки OpenSSL не загружены!";
  report += ":";
  AddLibraryReportLine(report, ssl);
  AddLibraryReportLine(report, crypto);
  return report;
}

std::string GetOpenSSLReport() {
  // A function of each library tells which file the dynamic loader mapped it from.
  static const std::string report = FormatOpenSSLReport(
      LibraryState(kSslLibraryName, reinterpret_cast<const void*>(&SSL_new)),
      LibraryState(kCryptoLibraryName, reinterpret_cast<const void*>(&OPENSSL_init_crypto)));
  return report;
}

void InitInitSSL() {
  if (!SSLDataLock) SSLDataLock = std::make_unique<std::mutex>();
}

void FinalizeInitSSL() noexcept {
  SSLDataLock.reset();
  TSslData& data = SslData();
  WipeText(data.keyPassword);
  for (std::string& file : data.files) file.clear();
  ClearTempFiles();
}

}  // namespace dravik
