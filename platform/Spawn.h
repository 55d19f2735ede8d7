// Starting a program that runs on by itself: the stand-in for handing a program to the
// desktop shell. No shell is involved: the arguments reach the program as they are.
#pragma once

#include <string>
#include <vector>

namespace dravik::platform {

// Starts `program` (an absolute path) with argv = { program, args... } and the caller's
// environment, in a new session, with stdin, stdout and stderr on /dev/null, the signal
// dispositions reset and the folder `workingDir` (none: the caller's) as working folder.
// A thread of its own collects the child when it ends, so no zombie stays behind. Returns
// the child's process id; throws std::system_error when it cannot be started.
int SpawnDetached(const std::string& program, const std::vector<std::string>& args,
                  const std::string& workingDir);

}  // namespace dravik::platform
