// The running processes and the programs they run, from /proc.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace dravik::platform {

// The ids of the running processes, ascending.
std::vector<int> ListProcessIds();

// The program a process runs, from the target of its /proc/<pid>/exe link and the bytes of
// its /proc/<pid>/cmdline: the link without " (deleted)"; but when the link names a loader of
// the compatibility layer that runs programs of the system's first OS (wine, wine64,
// wine-preloader, wine64-preloader), the first argument of the command line, which is the
// program's own path there ("C:\\Program Files\\X\\rmclient.exe"), or the loader itself when
// that argument is empty. An empty link gives "".
std::string ImagePathFromProcessLinks(std::string_view exeLink, std::string_view cmdline);

// The program the process runs; "" for pid <= 0, a process that has ended, or one whose
// program this user may not see.
std::string ProcessImagePath(int pid);

// The value of the variable `name` in the environment a process of this user was started
// with (/proc/<pid>/environ); nullopt when it has none, or the process has ended, belongs to
// another user or carries an environment over 1 MiB.
std::optional<std::string> ProcessEnvironmentValue(int pid, std::string_view name);

// The value of `name` in an environment block of NUL-ended "NAME=value" entries; of a name
// present twice, the first.
std::optional<std::string> EnvironmentBlockValue(std::string_view block, std::string_view name);

// The working folder of a process of this user (/proc/<pid>/cwd); "" when it cannot be read.
std::string ProcessWorkingDir(int pid);

}  // namespace dravik::platform
