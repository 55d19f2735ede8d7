// The program's own file name and the loaded modules (the executable and its shared objects).
//
// A module is named by its load base: the address where its lowest PT_LOAD segment is mapped.
// That number is the "module ID" the log shows. The vdso is loaded code without a file: it has
// a base, but no path.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace dravik::platform {

// Reads the executable's path and load base once and remembers them. main() calls it first
// thing, because after a self-update replaces the file /proc/self/exe no longer names the
// path the program was started from. Every function below calls it on first use too; later
// calls do nothing. Thread-safe.
void CaptureModulePaths();

// The executable's full path as captured (" (deleted)" stripped); "" when it was unreadable.
std::string ExecutablePath();

// The executable's load base.
std::uintptr_t ExecutableBase();

// The load base of the module whose loaded segments contain the address; 0 when none does.
std::uintptr_t ModuleBaseOf(const void* address);

// The full file name of the module whose base is the value or whose segments contain it.
// 0 and the executable give ExecutablePath() (never argv[0]); a shared object gives its
// link-map name; the vdso and addresses outside every module give "".
std::string ModulePathOf(std::uintptr_t baseOrAddress);

// The full path of a loaded shared object whose file name (after the last '/') or whose
// full path equals name exactly (case-sensitive); "" when none. Never the executable or
// the vdso.
std::string LoadedModulePath(std::string_view name);

// The load base of a library that dlopen returned and that is still open; 0 for null or
// when the loader cannot tell.
std::uintptr_t ModuleBaseOfHandle(void* dlopenHandle);

// The target of a symbolic link, however long; nullopt when it cannot be read.
std::optional<std::string> ReadLinkTarget(const std::string& linkPath);

// The link target without the " (deleted)" the kernel appends for a file that was removed.
std::string_view StripDeletedSuffix(std::string_view linkTarget) noexcept;

}  // namespace dravik::platform
