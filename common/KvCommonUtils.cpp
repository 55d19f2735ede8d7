#include "KvCommonUtils.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "Ascii.h"
#include "Environment.h"
#include "Files.h"
#include "KvBase64.h"
#include "KvObject.h"
#include "KvStringList.h"
#include "KvSysTools.h"
#include "KvText.h"
#include "ModulePaths.h"
#include "OsInfo.h"
#include "VersionBlock.h"

namespace dravik {

std::string IncludeTrailingPathDelimiter(std::string_view dir) {
  std::string result(dir);
  if (result.empty() || result.back() != '/') result += '/';
  return result;
}

std::string_view ExtractFileName(std::string_view path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string_view ExtractFileDir(std::string_view path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string_view::npos ? std::string_view() : path.substr(0, slash);
}

namespace {

bool PathExists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

bool IsRegularFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

struct FdCloser {
  int fd;
  ~FdCloser() {
    if (fd >= 0) ::close(fd);
  }
};

struct DirCloser {
  void operator()(DIR* d) const { ::closedir(d); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

enum class EntryType { File, Folder, Other };

// What a directory entry is. A symbolic link to a folder is "Other": the searches never
// follow links into folders, so a link loop cannot make them run away.
EntryType TypeOf(const std::string& path, unsigned char dType) {
  if (dType == DT_DIR) return EntryType::Folder;
  if (dType == DT_REG) return EntryType::File;
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return EntryType::Other;
  if (S_ISDIR(st.st_mode)) return EntryType::Folder;
  if (S_ISLNK(st.st_mode)) {
    if (::stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return EntryType::Other;
  }
  return EntryType::File;
}

// Calls visit(name, fullPath, type) for every entry but "." and "..", in the order the
// file system lists them. A folder that cannot be opened has no entries.
template <typename Visit>
void ListFolder(std::string_view dir, Visit&& visit) {
  const std::string base = IncludeTrailingPathDelimiter(dir);
  DirHandle handle(::opendir(std::string(dir).c_str()));
  if (!handle) return;
  while (const dirent* entry = ::readdir(handle.get())) {
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    std::string full = base + std::string(name);
    const EntryType type = TypeOf(full, entry->d_type);
    if (!visit(name, full, type)) return;
  }
}

int FindFilesInDir(std::string_view dir, const TFileMasks& masks, TStringList& list, bool recursive,
                   bool withPath) {
  int count = 0;
  ListFolder(dir, [&](std::string_view name, const std::string& full, EntryType type) {
    if (type == EntryType::Folder) {
      if (recursive) count += FindFilesInDir(full, masks, list, true, withPath);
    } else if (type == EntryType::File) {
      if (masks.empty() || MatchesMaskList(name, masks)) {
        list.Add(withPath ? full : std::string(name));
        ++count;
      }
    }
    return true;
  });
  return count;
}

// One folder of the tree search; returns true once the N-th match was found.
bool SearchTree(std::string_view dir, const TFileMasks& masks, TPathKind kind, bool recursive,
                int& n, std::string& result) {
  const auto check = [&](std::string_view name, const std::string& full) {
    if (!MatchesMaskList(name, masks)) return false;
    if (--n > 0) return false;
    result = full;
    return true;
  };
  std::vector<std::pair<std::string, std::string>> folders;  // name, full path
  bool found = false;
  ListFolder(dir, [&](std::string_view name, const std::string& full, EntryType type) {
    if (type == EntryType::Folder) {
      folders.emplace_back(std::string(name), full);
    } else if (type == EntryType::File && kind != TPathKind::Folders) {
      found = check(name, full);
    }
    return !found;
  });
  if (found) return true;
  if (kind != TPathKind::Files) {
    for (const auto& [name, full] : folders)
      if (check(name, full)) return true;
  }
  if (recursive) {
    for (const auto& folder : folders)
      if (SearchTree(folder.second, masks, kind, true, n, result)) return true;
  }
  return false;
}

// Length in bytes of the UTF-8 sequence that starts with this byte (1 for stray bytes).
std::size_t Utf8Length(unsigned char lead) {
  if (lead >= 0xF0 && lead <= 0xF7) return 4;
  if (lead >= 0xE0) return lead <= 0xEF ? 3 : 1;
  if (lead >= 0xC0) return 2;
  return 1;
}

bool MatchFrom(std::string_view name, std::size_t ni, std::string_view mask, std::size_t mi) {
  // Iterative wildcard match with one backtracking point for the last '*'.
  std::size_t starMask = std::string_view::npos, starName = 0;
  while (ni < name.size()) {
    if (mi < mask.size() && mask[mi] == '*') {
      starMask = mi++;
      starName = ni;
    } else if (mi < mask.size() && mask[mi] == '?') {
      ++mi;
      ni += std::min(Utf8Length(static_cast<unsigned char>(name[ni])), name.size() - ni);
    } else if (mi < mask.size() &&
               platform::AsciiLower(mask[mi]) == platform::AsciiLower(name[ni])) {
      ++mi;
      ++ni;
    } else if (starMask != std::string_view::npos) {
      mi = starMask + 1;
      starName +=
          std::min(Utf8Length(static_cast<unsigned char>(name[starName])), name.size() - starName);
      ni = starName;
    } else {
      return false;
    }
  }
  while (mi < mask.size() && mask[mi] == '*') ++mi;
  return mi == mask.size();
}

[[noreturn]] void ThrowFileError(bool creating, const std::string& fileName, int error) {
  const std::string text = "\"" + fileName + "\". " + SysErrorMessage(error);
  if (creating) throw EFCreateError("Cannot create file " + text);
  throw EFOpenError("Cannot open file " + text);
}

void WriteAll(int fd, const std::string& fileName, const char* data, std::size_t count) {
  if (const int error = platform::WriteAllBytes(fd, std::string_view(data, count)))
    throw EWriteError("Error writing file \"" + fileName + "\". " + SysErrorMessage(error));
}

// The folders the dynamic loader searches by default, found beside the C library so
// that the machine's multiarch folder is among them.
std::vector<std::string> SystemFolders() {
  std::vector<std::string> folders;
  const std::string libc = platform::LoadedModulePath("libc.so.6");
  if (!libc.empty()) folders.emplace_back(ExtractFileDir(libc));
  for (const char* dir : {"/usr/local/lib", "/usr/lib", "/lib"}) folders.emplace_back(dir);
  return folders;
}

}  // namespace

std::string GetWindowsVersionName() { return platform::OsVersionName(); }

bool IsWindows64() { return platform::IsOs64Bit(); }

std::string GetOSVersionText() {
  return GetWindowsVersionName() + " " + (IsWindows64() ? "64" : "32") + "-bit";
}

std::string DateTimeToISO8601(bool utc, TDateTime time) {
  return DateTimeToISO8601(utc, time, utc ? 0 : CurrentUtcBiasMinutes());
}

std::string DateTimeToISO8601(bool utc, TDateTime time, int biasMinutes) {
  std::string text = FormatDateTime("yyyy'-'mm'-'dd'T'hh':'nn':'ss'.'zzz", time);
  if (utc || biasMinutes == 0) return text + "Z";
  const int magnitude = biasMinutes < 0 ? -biasMinutes : biasMinutes;
  char offset[16];
  std::snprintf(offset, sizeof offset, "%c%02d:%02d", biasMinutes < 0 ? '+' : '-', magnitude / 60,
                magnitude % 60);
  return text + offset;
}

std::vector<std::uint8_t> DecodeBase64Text(std::string_view text) {
  return Base64DecodeBytes(text);
}

std::string DecodeBase64(std::string_view text, bool strict) { return Base64Decode(text, strict); }

void RemoveLineBreaks(std::string& text) { text = StringReplaceAll(text, "\r\n", ""); }

std::string PassThroughText(std::string_view text) { return std::string(text); }

std::string ChangeFileDir(std::string_view fileName, std::string_view dir) {
  return IncludeTrailingPathDelimiter(dir) + std::string(ExtractFileName(fileName));
}

int SkipUTF8BOM(std::istream& stream) {
  const auto start = stream.tellg();
  char bytes[3] = {};
  stream.read(bytes, 3);
  const auto got = stream.gcount();
  if (got == 3 && bytes[0] == '\xEF' && bytes[1] == '\xBB' && bytes[2] == '\xBF') return 3;
  stream.clear();
  if (got == 3) stream.seekg(start);
  return 0;
}

bool IsFreshTextFile(const std::string& fileName) {
  const int fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    // A name below a regular file names no file either.
    if (errno == ENOENT || errno == ENOTDIR) return true;
    ThrowFileError(false, fileName, errno);
  }
  FdCloser closer{fd};
  struct stat st {};
  if (::fstat(fd, &st) != 0) ThrowFileError(false, fileName, errno);
  if (!S_ISREG(st.st_mode)) ThrowFileError(false, fileName, S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
  // Fresh means empty or exactly a byte order mark: one or two stray bytes are
  // content, and a file with content is never appended to.
  if (st.st_size == 0) return true;
  if (st.st_size != 3) return false;
  unsigned char bytes[3] = {};
  const ssize_t got = ::pread(fd, bytes, 3, 0);
  if (got < 0) ThrowFileError(false, fileName, errno);
  return got == 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF;
}

void AppendToFile(const std::string& fileName, const void* data, std::size_t count, bool recreate) {
  if (recreate && ::unlink(fileName.c_str()) != 0 && errno != ENOENT)
    ThrowFileError(true, fileName, errno);
  int fd = ::open(fileName.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  if (fd < 0) {
    if (errno != ENOENT && errno != ENOTDIR) ThrowFileError(false, fileName, errno);
    const std::string_view dir = ExtractFileDir(fileName);
    if (!dir.empty()) {
      std::error_code ec;
      std::filesystem::create_directories(std::string(dir), ec);
      if (ec) ThrowFileError(true, fileName, ec.value());
    }
    fd = ::open(fileName.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) ThrowFileError(true, fileName, errno);
  }
  FdCloser closer{fd};
  WriteAll(fd, fileName, static_cast<const char*>(data), count);
}

void AppendLineToFile(const std::string& fileName, std::string_view text) {
  // One write for the text and its line break, so that a line is never left without it.
  std::string line(text);
  line += "\r\n";
  AppendToFile(fileName, line.data(), line.size(), false);
}

TDateTime GetFileDateTime(const std::string& fileName) {
  struct stat st {};
  if (::stat(fileName.c_str(), &st) != 0) return kNoFileDateTime;
  return DateTimeFromUnix(st.st_mtim.tv_sec, static_cast<int>(st.st_mtim.tv_nsec), true);
}

std::string FindOnSearchPath(std::string_view fileName) {
  if (fileName.empty()) return {};
  const std::string name(fileName);
  if (name.find('/') != std::string::npos) return IsRegularFile(name) ? name : std::string();
  std::vector<std::string> folders;
  folders.emplace_back(ExtractFileDir(platform::ExecutablePath()));
  std::error_code ec;
  const auto cwd = std::filesystem::current_path(ec);
  if (!ec) folders.push_back(cwd.string());
  for (auto& dir : SystemFolders()) folders.push_back(std::move(dir));
  if (const char* path = std::getenv("PATH")) {
    std::string_view rest = path;
    while (!rest.empty()) {
      const auto colon = rest.find(':');
      const std::string_view dir = rest.substr(0, colon);
      if (!dir.empty()) folders.emplace_back(dir);
      if (colon == std::string_view::npos) break;
      rest.remove_prefix(colon + 1);
    }
  }
  for (const auto& dir : folders) {
    if (dir.empty()) continue;
    std::string candidate = IncludeTrailingPathDelimiter(dir) + name;
    if (IsRegularFile(candidate)) return candidate;
  }
  return {};
}

void ParseMaskList(std::string_view maskText, TFileMasks& masks) {
  masks.clear();
  while (true) {
    const auto comma = maskText.find(',');
    const std::string piece = Trim(maskText.substr(0, comma));
    if (piece == "*.*") {
      masks.clear();  // every file matches
      return;
    }
    if (!piece.empty() && (piece[0] == '-' || piece[0] == '+'))
      masks.push_back({piece.substr(1), piece[0] == '+'});
    else
      masks.push_back({piece, true});
    if (comma == std::string_view::npos) return;
    maskText.remove_prefix(comma + 1);
  }
}

bool MatchesMask(std::string_view name, std::string_view mask) {
  return MatchFrom(name, 0, mask, 0);
}

bool MatchesMaskList(std::string_view name, const TFileMasks& masks) {
  bool anyInclude = false, included = false;
  for (const auto& mask : masks) {
    if (mask.include) {
      anyInclude = true;
      if (!included && MatchesMask(name, mask.pattern)) included = true;
    } else if (MatchesMask(name, mask.pattern)) {
      return false;
    }
  }
  return !anyInclude || included;
}

int FindFiles(std::string_view dir, std::string_view maskText, TStringList& list, bool recursive,
              bool withPath) {
  TFileMasks masks;
  ParseMaskList(maskText, masks);
  return FindFilesInDir(dir, masks, list, recursive, withPath);
}

std::string FindPathInTree(std::string_view dir, std::string_view maskText, TPathKind kind,
                           bool recursive, int n) {
  if (n < 1) return {};
  TFileMasks masks;
  ParseMaskList(maskText, masks);
  std::string result;
  SearchTree(dir, masks, kind, recursive, n, result);
  return result;
}

std::string FindFileInTree(std::string_view dir, std::string_view maskText, bool recursive, int n) {
  return FindPathInTree(dir, maskText, TPathKind::Files, recursive, n);
}

std::string GetFileVersion(const std::string& fileName) {
  const auto entries = platform::ReadVersionBlock(fileName);
  if (!entries) return "0.0.0.0";
  return platform::VersionValue(*entries, "FileVersion").value_or(std::string());
}

std::string MakeUniqueFileName(const std::string& fileName) {
  if (!PathExists(fileName)) return fileName;
  const std::string_view name = ExtractFileName(fileName);
  const auto dot = name.find_last_of('.');
  const std::size_t extStart =
      fileName.size() - name.size() + (dot == std::string_view::npos ? name.size() : dot);
  const std::string stem = fileName.substr(0, extStart);
  const std::string ext = fileName.substr(extStart);
  for (unsigned long n = 1;; ++n) {
    std::string candidate = stem + "_" + std::to_string(n) + ext;
    if (!PathExists(candidate)) return candidate;
  }
}

}  // namespace dravik
