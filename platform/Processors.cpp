#include "Processors.h"

#include <pthread.h>

namespace dravik::platform {

const cpu_set_t& ProgramCpus() noexcept {
  static const cpu_set_t cpus = [] {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof set, &set) != 0) CPU_ZERO(&set);
    return set;
  }();
  return cpus;
}

namespace {

// Read while the program starts, before any thread may be kept to one processor.
[[maybe_unused]] const cpu_set_t& gReadAtStart = ProgramCpus();

}  // namespace

int FirstLoopCpu() noexcept {
  const cpu_set_t& cpus = ProgramCpus();
  if (CPU_COUNT(&cpus) < 2) return -1;
  for (int cpu = CPU_SETSIZE - 1; cpu >= 0; --cpu)
    if (CPU_ISSET(cpu, &cpus)) return cpu;
  return -1;
}

bool SetThreadCpu(int cpu) noexcept {
  cpu_set_t set;
  if (cpu < 0) {
    set = ProgramCpus();
    if (CPU_COUNT(&set) == 0) return false;
  } else {
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
  }
  return ::pthread_setaffinity_np(::pthread_self(), sizeof set, &set) == 0;
}

}  // namespace dravik::platform
