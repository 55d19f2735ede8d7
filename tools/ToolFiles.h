// What the build tools share: their error type and the atomic replacement of an output file.
// Header-only and apart from the platform library, so that a change there does not rebuild
// the TLS tool, which would make new TLS material.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>

#include "UniqueFd.h"

namespace dravik::tools {

class ToolError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

[[noreturn]] inline void ThrowSystemError(const std::string& what, const std::string& path) {
  throw ToolError(what + " " + path + ": " + std::strerror(errno));
}

// Writes through a new temporary file in the same folder, renamed over the old file, so that
// the build never embeds a half-written file.
inline void WriteFileReplacing(const std::string& path, std::string_view bytes, mode_t mode) {
  std::string temporary = path + ".XXXXXX";
  platform::TUniqueFd file(::mkostemp(temporary.data(), O_CLOEXEC));
  if (file.get() < 0) ThrowSystemError("cannot create a file beside", path);
  try {
    if (::fchmod(file.get(), mode) != 0) ThrowSystemError("cannot set the mode of", temporary);
    std::size_t written = 0;
    while (written < bytes.size()) {
      const ssize_t count = ::write(file.get(), bytes.data() + written, bytes.size() - written);
      if (count < 0 && errno == EINTR) continue;
      if (count < 0) ThrowSystemError("cannot write", temporary);
      written += static_cast<std::size_t>(count);
    }
    if (::close(file.release()) != 0) ThrowSystemError("cannot write", temporary);
    if (::rename(temporary.c_str(), path.c_str()) != 0) ThrowSystemError("cannot replace", path);
  } catch (...) {
    ::unlink(temporary.c_str());
    throw;
  }
}

}  // namespace dravik::tools
