// Small file helpers of the platform layer.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace dravik::platform {

// The whole content of a file, read in large gulps (files under /proc are rebuilt by
// the kernel on every read, so fewer reads give a more consistent text); nullopt when
// the file cannot be opened or read.
std::optional<std::string> ReadWholeFile(const std::string& path);

// Writes all of `bytes` to `fd`, going on after interruptions and partial writes; 0, or the
// errno of the write that failed (EIO for one that wrote nothing).
int WriteAllBytes(int fd, std::string_view bytes) noexcept;

}  // namespace dravik::platform
