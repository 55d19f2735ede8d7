// The clock the connections' idle timers count on, and the module-wide idle time and bound on
// request bytes in flight that SetWebServerTimeouts sets. Owns those two values and nothing
// else; any thread may read them.
#pragma once

#include <time.h>

#include <atomic>
#include <cstdint>

namespace dravik {

// Milliseconds on the monotonic clock that also counts time suspended, so that a connection
// idle across a suspend has used up its idle time.
inline std::int64_t NowMs() noexcept {
  timespec now{};
  ::clock_gettime(CLOCK_BOOTTIME, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

extern constinit std::atomic<int> gIdleMs;
extern constinit std::atomic<std::int64_t> gMaxBodyBytes;

inline int IdleMs() noexcept { return gIdleMs.load(std::memory_order_relaxed); }
inline std::int64_t MaxBodyBytesInFlight() noexcept {
  return gMaxBodyBytes.load(std::memory_order_relaxed);
}

}  // namespace dravik
