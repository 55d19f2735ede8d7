// The running processes and the programs they run, from /proc.
#pragma once

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

}  // namespace dravik::platform
