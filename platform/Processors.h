// The processors the program runs on, and the threads kept to one of them.
#pragma once

#include <sched.h>

namespace dravik::platform {

// The processors the program may run on, as it was started: read before main, so that a
// thread kept to one processor later does not narrow them. Empty when the system does not
// tell.
const cpu_set_t& ProgramCpus() noexcept;

// The processor the program's first event loop and its main thread are kept to: the last of
// ProgramCpus; -1 when there are fewer than two, and nothing is kept to one.
int FirstLoopCpu() noexcept;

// Keeps the calling thread to `cpu`, or, for -1, gives it ProgramCpus again; false when the
// system refuses, which leaves the thread where it was.
bool SetThreadCpu(int cpu) noexcept;

}  // namespace dravik::platform
