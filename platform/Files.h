// Small file helpers of the platform layer.
#pragma once

#include <optional>
#include <string>

namespace dravik::platform {

// The whole content of a file, read in large gulps (files under /proc are rebuilt by
// the kernel on every read, so fewer reads give a more consistent text); nullopt when
// the file cannot be opened or read.
std::optional<std::string> ReadWholeFile(const std::string& path);

}  // namespace dravik::platform
