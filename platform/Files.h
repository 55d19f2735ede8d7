// Small file helpers of the platform layer.
#pragma once

#include <sys/types.h>

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

// How replacing a file's content failed: error 0 when it did not; else its errno, and whether
// the new content could not be written (else the file could not be created or renamed).
struct TReplaceResult {
  int error = 0;
  bool writing = false;
};

// Replaces the content of the file `path` as one step: the bytes go to a new hidden file
// beside it ("." + name + ".XXXXXX", created with O_EXCL), which gets `mode` (or the old
// file's mode when `keepOldMode` and a regular file is there), is synced and renamed over the
// old file; the folder is synced last. Readers see the old or the new content, never a part.
TReplaceResult ReplaceFileContents(const std::string& path, std::string_view bytes, mode_t mode,
                                   bool keepOldMode) noexcept;

}  // namespace dravik::platform
