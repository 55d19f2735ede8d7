// dravik_version_tool: puts a version block (platform/VersionBlock.h) into files.
//
//   dravik_version_tool source <out.cpp> Key=Value...
//     writes a C++ source that places the block in the section ".fileversion" of the binary it
//     is compiled into; an unchanged source is left untouched, so nothing rebuilds needlessly.
//   dravik_version_tool stamp <file> Key=Value...
//     appends "\n# " + block + "\n" to any file (a comment line for a script, harmless bytes
//     for a binary), replacing a stamp line the tool wrote earlier; the file's mode is kept.
//
// Files are written through a temporary file in the same folder and renamed into place.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "VersionBlock.h"

namespace {

using dravik::platform::DecodeVersionBlock;
using dravik::platform::EncodeVersionBlock;
using dravik::platform::VersionEntries;

constexpr std::string_view kStampPrefix = "\n# ";

class ToolError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

[[noreturn]] void ThrowSystemError(const std::string& what, const std::string& path) {
  throw ToolError(what + " " + path + ": " + std::strerror(errno));
}

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const noexcept { return fd_; }
  int release() noexcept { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

VersionEntries ParseEntries(char** first, char** last) {
  VersionEntries entries;
  for (; first != last; ++first) {
    const std::string_view argument(*first);
    const std::size_t equals = argument.find('=');
    if (equals == std::string_view::npos)
      throw ToolError("the entry \"" + std::string(argument) + "\" is not Key=Value");
    entries.emplace_back(std::string(argument.substr(0, equals)),
                         std::string(argument.substr(equals + 1)));
  }
  if (entries.empty()) throw ToolError("no Key=Value entries given");
  return entries;
}

// The content of a regular file, and its status; nullopt for a file that does not exist.
std::optional<std::string> ReadRegularFile(const std::string& path, struct stat& status) {
  const FileDescriptor file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (file.get() < 0) {
    if (errno == ENOENT) return std::nullopt;
    ThrowSystemError("cannot open", path);
  }
  if (::fstat(file.get(), &status) != 0) ThrowSystemError("cannot examine", path);
  if (!S_ISREG(status.st_mode)) throw ToolError(path + " is not a regular file");

  std::string content;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(file.get(), buffer, sizeof buffer);
    if (n == 0) return content;
    if (n < 0) {
      if (errno == EINTR) continue;
      ThrowSystemError("cannot read", path);
    }
    content.append(buffer, static_cast<std::size_t>(n));
  }
}

void WriteAll(int fd, std::string_view data, const std::string& path) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      ThrowSystemError("cannot write", path);
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
}

// Replaces the file's content at once: readers see the old file or the new one, never a part.
void ReplaceFile(const std::string& path, std::string_view content, mode_t mode) {
  const std::size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  std::string temporary = folder + "." + base + ".XXXXXX";

  FileDescriptor file(::mkostemp(temporary.data(), O_CLOEXEC));  // mode 0600, O_EXCL
  if (file.get() < 0) ThrowSystemError("cannot create a temporary file for", path);
  try {
    WriteAll(file.get(), content, temporary);
    if (::fchmod(file.get(), mode) != 0) ThrowSystemError("cannot set the mode of", temporary);
    if (::fsync(file.get()) != 0) ThrowSystemError("cannot flush", temporary);
    if (::close(file.release()) != 0) ThrowSystemError("cannot close", temporary);
    if (::rename(temporary.c_str(), path.c_str()) != 0) ThrowSystemError("cannot replace", path);
  } catch (...) {
    ::unlink(temporary.c_str());
    throw;
  }
}

// The block as a C++ string literal; '?' is escaped too, so no "??x" reads as a trigraph.
std::string CppStringLiteral(std::string_view text) {
  std::string literal = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\' || c == '?') literal += '\\';
    literal += c;
  }
  literal += '"';
  return literal;
}

void WriteSource(const std::string& path, const VersionEntries& entries) {
  const std::string source =
      "// Generated by dravik_version_tool: do not edit.\n"
      "// The version block of the binary this is compiled into. \"used\" and \"retain\" keep\n"
      "// the compiler and the linker from dropping it, though no code refers to it.\n"
      "namespace {\n"
      "[[gnu::used, gnu::retain, gnu::section(\".fileversion\")]] const char kVersionBlock[] =\n"
      "    " +
      CppStringLiteral(EncodeVersionBlock(entries)) +
      ";\n"
      "}  // namespace\n";

  struct stat status {};
  if (ReadRegularFile(path, status) == source) return;
  const mode_t mask = ::umask(0);
  ::umask(mask);
  ReplaceFile(path, source, 0666 & ~mask);
}

// The content without the stamp line the tool appended last, when it ends with one.
std::string_view WithoutStampLine(std::string_view content) {
  if (content.size() < kStampPrefix.size() + 1 || content.back() != '\n') return content;
  const std::size_t start = content.rfind(kStampPrefix, content.size() - kStampPrefix.size());
  if (start == std::string_view::npos) return content;
  const std::size_t blockStart = start + kStampPrefix.size();
  const std::string_view block = content.substr(blockStart, content.size() - 1 - blockStart);
  // The line must be exactly one block, spelled as the tool writes it.
  const auto entries = DecodeVersionBlock(block);
  if (!entries || EncodeVersionBlock(*entries) != block) return content;
  return content.substr(0, start);
}

void Stamp(const std::string& path, const VersionEntries& entries) {
  const std::string block = EncodeVersionBlock(entries);

  // A link is followed, so that the file it names is stamped rather than replaced by a copy.
  char resolved[PATH_MAX];
  if (::realpath(path.c_str(), resolved) == nullptr) ThrowSystemError("cannot find", path);
  const std::string target = resolved;

  struct stat status {};
  const auto content = ReadRegularFile(target, status);
  if (!content) ThrowSystemError("cannot open", path);
  const std::string_view kept = WithoutStampLine(*content);
  // Readers take the first block of a file, so a stamp after another block would be ignored.
  if (DecodeVersionBlock(kept))
    throw ToolError(path + " already holds a version block that is not a stamp line of this tool");

  std::string stamped(kept);
  stamped.append(kStampPrefix).append(block).append(1, '\n');
  ReplaceFile(target, stamped, status.st_mode & 07777);
}

int Usage() {
  std::fputs(
      "usage: dravik_version_tool source <out.cpp> Key=Value...\n"
      "       dravik_version_tool stamp <file> Key=Value...\n",
      stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return Usage();
  const std::string_view command = argv[1];
  if (command != "source" && command != "stamp") return Usage();
  try {
    const std::string path = argv[2];
    const VersionEntries entries = ParseEntries(argv + 3, argv + argc);
    if (command == "source")
      WriteSource(path, entries);
    else
      Stamp(path, entries);
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "dravik_version_tool: %s\n", e.what());
    return 1;
  }
}
