#include "KeyStore.h"

#include <dirent.h>
#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "CertificateInput.h"
#include "Files.h"
#include "KvObject.h"
#include "OpenSslSupport.h"
#include "PluginErrors.h"

namespace dravik::plugin {

namespace {

constexpr std::string_view kKeyFile = "key.pem";
constexpr std::string_view kCertificateFile = "cert.pem";
constexpr std::string_view kRequestFile = "request.pem";
constexpr std::string_view kMetadataFile = "container.ini";
// No file of the store is larger; a bigger one is not ours.
constexpr std::size_t kMaxFileSize = 1024 * 1024;
// A folder name longer than this cannot be created on common file systems.
constexpr std::size_t kMaxFolderName = 255;

std::string EnvironmentText(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::string(value) : std::string();
}

[[noreturn]] void ThrowSystem(std::string_view what, const std::string& path, int error) {
  throw EOSError(std::string(what) + " " + path + ": " + SysErrorMessage(error));
}

bool IsPlainNameByte(unsigned char c) noexcept {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '_' || c == '{' || c == '}' || c == '-';
}

// Creates the folder and its missing parents, each 0700.
void MakeDirectories(const std::string& path) {
  for (std::size_t at = 1; at <= path.size(); ++at) {
    if (at != path.size() && path[at] != '/') continue;
    const std::string part = path.substr(0, at);
    if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
      ThrowSystem("Cannot create the folder", part, errno);
  }
}

class TFd {
 public:
  explicit TFd(int fd) noexcept : fd_(fd) {}
  ~TFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
  int Get() const noexcept { return fd_; }
  int Release() noexcept { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

// The contents of a regular file of the store; nullopt when it is missing, not a regular
// file or too large.
std::optional<std::string> ReadStoreFile(const std::string& path) {
  const TFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY));
  if (fd.Get() < 0) return std::nullopt;
  struct stat info {};
  if (::fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode) ||
      static_cast<std::size_t>(info.st_size) > kMaxFileSize)
    return std::nullopt;
  std::string bytes(static_cast<std::size_t>(info.st_size), '\0');
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t got = ::read(fd.Get(), bytes.data() + done, bytes.size() - done);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    done += static_cast<std::size_t>(got);
  }
  bytes.resize(done);
  return bytes;
}

void WriteAll(int fd, std::string_view bytes, const std::string& path) {
  if (const int error = platform::WriteAllBytes(fd, bytes))
    ThrowSystem("Cannot write", path, error);
}

void SyncFolder(const std::string& dir) noexcept {
  const TFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.Get() >= 0) ::fsync(fd.Get());
}

// Writes `bytes` to dir/name through a temporary file (0600, O_EXCL) and publishes it only
// when no file of that name exists. Returns false, leaving nothing behind, when one does.
bool PublishFile(const std::string& dir, std::string_view name, std::string_view bytes) {
  const std::string target = dir + "/" + std::string(name);
  std::string temporary = dir + "/." + std::string(name) + ".XXXXXX";
  TFd fd(::mkostemp(temporary.data(), O_CLOEXEC));
  if (fd.Get() < 0) ThrowSystem("Cannot create a temporary file in", dir, errno);
  bool published = false;
  try {
    WriteAll(fd.Get(), bytes, temporary);
    if (::fsync(fd.Get()) != 0) ThrowSystem("Cannot write", temporary, errno);
    if (::close(fd.Release()) != 0) ThrowSystem("Cannot write", temporary, errno);
    // A hard link publishes the whole file atomically and fails when the name is taken; where
    // the file system has no hard links, a rename that refuses to replace does the same.
    int result = ::link(temporary.c_str(), target.c_str());
    if (result != 0 && (errno == EPERM || errno == ENOTSUP || errno == EOPNOTSUPP))
      result = ::renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE);
    if (result == 0) {
      published = true;
    } else if (errno != EEXIST) {
      ThrowSystem("Cannot create", target, errno);
    }
  } catch (...) {
    ::unlink(temporary.c_str());
    throw;
  }
  ::unlink(temporary.c_str());
  if (published) SyncFolder(dir);
  return published;
}

// Removes a container folder that could not be completed.
void RemoveFolder(const std::string& dir) noexcept {
  for (const std::string_view name : {kKeyFile, kCertificateFile, kRequestFile, kMetadataFile})
    ::unlink((dir + "/" + std::string(name)).c_str());
  ::rmdir(dir.c_str());
}

// The entries of a folder other than "." and "..", sorted by byte value; none when the
// folder cannot be read.
std::vector<std::string> FolderEntries(const std::string& dir) {
  std::vector<std::string> names;
  DIR* handle = ::opendir(dir.c_str());
  if (!handle) return names;
  while (const dirent* entry = ::readdir(handle)) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") names.emplace_back(name);
  }
  ::closedir(handle);
  std::sort(names.begin(), names.end());
  return names;
}

TEvpPkeyPtr ReadKey(const std::string& path) {
  std::optional<std::string> text = ReadStoreFile(path);
  if (!text) return nullptr;
  TSecretBytes secret(std::move(*text));
  const TOpenSslErrorScope errors;
  const TBioPtr bio = MemoryBio(secret.View());
  return TEvpPkeyPtr(PEM_read_bio_PrivateKey(bio.get(), nullptr, &RefusePassphrase, nullptr));
}

// The user's home folder: $HOME, else the password database's; "" when neither names one.
std::string HomeDir() {
  if (std::string home = EnvironmentText("HOME"); !home.empty()) return home;
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
      found->pw_dir)
    return found->pw_dir;
  return std::string();
}

}  // namespace

std::string TKeyStore::RootFromEnvironment() {
  if (std::string root = EnvironmentText("DRAVIK_KEYSTORE"); !root.empty()) return root;
  std::string data = EnvironmentText("XDG_DATA_HOME");
  if (data.empty() || data.front() != '/') {
    const std::string home = HomeDir();
    if (home.empty()) return std::string();
    data = home + "/.local/share";
  }
  return data + "/Dravik/KeyStore";
}

void TKeyStore::RequireRoot() const {
  if (root_.empty())
    throw EPluginError(TPluginError::ContainerNotFound,
                       "No key store: neither DRAVIK_KEYSTORE nor a home folder is set");
}

std::string TKeyStore::EncodeName(std::string_view name) {
  if (name.empty()) throw EPluginError(TPluginError::BadParameter, "The container name is empty");
  const bool dotsOnly = name.find_first_not_of('.') == std::string_view::npos;
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string folder;
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (IsPlainNameByte(byte) && !dotsOnly) {
      folder += c;
    } else {
      folder += '%';
      folder += kDigits[byte >> 4];
      folder += kDigits[byte & 0x0F];
    }
  }
  if (folder.size() > kMaxFolderName)
    throw EPluginError(TPluginError::BadParameter, "The container name is too long");
  return folder;
}

std::optional<std::string> TKeyStore::DecodeName(std::string_view folder) {
  const auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::string name;
  for (std::size_t at = 0; at < folder.size(); ++at) {
    if (folder[at] != '%') {
      if (!IsPlainNameByte(static_cast<unsigned char>(folder[at]))) return std::nullopt;
      name += folder[at];
      continue;
    }
    if (at + 2 >= folder.size()) return std::nullopt;
    const int high = digit(folder[at + 1]);
    const int low = digit(folder[at + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    name += static_cast<char>(high * 16 + low);
    at += 2;
  }
  // Only the canonical form names a container: AttachCertificate finds it by EncodeName.
  if (name.empty() || name.size() > kMaxFolderName) return std::nullopt;
  try {
    if (EncodeName(name) != folder) return std::nullopt;
  } catch (const EPluginError&) {
    return std::nullopt;
  }
  return name;
}

void TKeyStore::CreateContainer(std::string_view name, const TNewContainer& parts) const {
  RequireRoot();
  const std::string folder = EncodeName(name);
  MakeDirectories(ContainersDir());
  const std::string dir = ContainersDir() + "/" + folder;
  // Creating the folder is the claim on the name: exactly one creator can succeed.
  if (::mkdir(dir.c_str(), 0700) != 0) {
    if (errno == EEXIST)
      throw EPluginError(TPluginError::ContainerExists,
                         "The key container exists: " + std::string(name));
    ThrowSystem("Cannot create the folder", dir, errno);
  }
  try {
    PublishFile(dir, kKeyFile, parts.keyPem);
    PublishFile(dir, kRequestFile, parts.requestPem);
    PublishFile(dir, kMetadataFile, parts.metadata);
  } catch (...) {
    RemoveFolder(dir);
    throw;
  }
  SyncFolder(ContainersDir());
}

std::optional<TFoundKey> TKeyStore::FindKeyFor(X509* certificate) const {
  RequireRoot();
  EVP_PKEY* publicKey = X509_get0_pubkey(certificate);
  if (!publicKey) return std::nullopt;
  for (const std::string& folder : FolderEntries(ContainersDir())) {
    const std::optional<std::string> name = DecodeName(folder);
    if (!name) continue;
    const std::string dir = ContainersDir() + "/" + folder;
    TEvpPkeyPtr key = ReadKey(dir + "/" + std::string(kKeyFile));
    if (!key || EVP_PKEY_eq(key.get(), publicKey) != 1) continue;
    TFoundKey found;
    found.container = *name;
    found.key = std::move(key);
    found.hasCertificate = ReadStoreFile(dir + "/" + std::string(kCertificateFile)).has_value();
    ERR_clear_error();
    return found;
  }
  ERR_clear_error();
  return std::nullopt;
}

void TKeyStore::AttachCertificate(std::string_view container, X509* certificate) const {
  PublishFile(ContainersDir() + "/" + EncodeName(container), kCertificateFile,
              CertificatePem(certificate));
}

std::vector<TStoredCertificate> TKeyStore::Certificates() const {
  std::vector<TStoredCertificate> found;
  for (const std::string& folder : FolderEntries(ContainersDir())) {
    const std::optional<std::string> name = DecodeName(folder);
    if (!name) continue;
    const auto bytes =
        ReadStoreFile(ContainersDir() + "/" + folder + "/" + std::string(kCertificateFile));
    if (!bytes) continue;
    if (TX509Ptr certificate = CertificateFromBytes(*bytes))
      found.push_back({*name, std::move(certificate)});
  }
  for (const std::string& file : FolderEntries(CertsDir())) {
    if (file.front() == '.') continue;  // temporary and hidden files
    const auto bytes = ReadStoreFile(CertsDir() + "/" + file);
    if (!bytes) continue;
    if (TX509Ptr certificate = CertificateFromBytes(*bytes))
      found.push_back({std::string(), std::move(certificate)});
  }
  return found;
}

}  // namespace dravik::plugin
