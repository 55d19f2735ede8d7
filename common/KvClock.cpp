#include "KvClock.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <new>

#include "DravikConfig.h"
#include "KvObject.h"

namespace dravik {

namespace {

constexpr std::int64_t kNsPerMs = 1'000'000;
constexpr std::int64_t kNsPerSecond = 1'000'000'000;
constexpr std::int64_t kMsPerMinute = 60'000;

// Longer sleeps are cut to about a century, which keeps deadlines inside int64.
constexpr double kMaxSleepNs = 3.0e18;

// A condition variable waits on a clock that stops during suspend, so long waits wake
// this often to check their deadline on the clock that does not.
constexpr std::int64_t kWaitSliceNs = kNsPerSecond;

// Whole milliseconds of a non-negative count, saturating instead of overflowing.
std::int64_t SaturatingMs(double ms) {
  constexpr double kLimit = 9.0e18;  // below INT64_MAX, and exactly representable
  if (!(ms < kLimit)) return std::numeric_limits<std::int64_t>::max();
  return static_cast<std::int64_t>(std::floor(std::max(ms, 0.0)));
}

std::int64_t FloorDiv(std::int64_t a, std::int64_t b) {
  const std::int64_t q = a / b;
  return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

std::int64_t ToNs(const timespec& time) {
  return static_cast<std::int64_t>(time.tv_sec) * kNsPerSecond + time.tv_nsec;
}

timespec ToTimespec(std::int64_t ns) {
  timespec time{};
  time.tv_sec = static_cast<std::time_t>(ns / kNsPerSecond);
  time.tv_nsec = static_cast<long>(ns % kNsPerSecond);
  return time;
}

// CLOCK_BOOTTIME, which counts suspend; CLOCK_MONOTONIC where a kernel lacks it.
std::int64_t BootNs() {
  timespec now{};
  if (clock_gettime(CLOCK_BOOTTIME, &now) != 0) clock_gettime(CLOCK_MONOTONIC, &now);
  return ToNs(now);
}

void SleepUntilBootNs(std::int64_t deadline) {
  const timespec until = ToTimespec(deadline);
  int result = 0;
  do {
    result = clock_nanosleep(CLOCK_BOOTTIME, TIMER_ABSTIME, &until, nullptr);
  } while (result == EINTR);
  if (result == 0) return;
  // A kernel that cannot sleep on CLOCK_BOOTTIME: sleep the remaining time relatively.
  for (std::int64_t left = deadline - BootNs(); left > 0; left = deadline - BootNs()) {
    const timespec period = ToTimespec(left);
    nanosleep(&period, nullptr);
  }
}

}  // namespace

bool IClock::WaitMs(std::int64_t ms, std::stop_token stop) const {
  constexpr std::int64_t kSliceMs = 50;
  if (stop.stop_requested()) return false;
  while (ms > 0) {
    const std::int64_t slice = std::min(ms, kSliceMs);
    SleepMs(slice);
    ms -= slice;
    if (ms > 0 && stop.stop_requested()) return false;
  }
  return true;
}

TSystemClock::TSystemClock(double speed)
    : speed_(std::isfinite(speed) && speed > 0.0 ? speed : 1.0),
      startBootNs_(BootNs()),
      startUnixMs_(DateTimeToUnixMs(dravik::NowUtc())) {}

TDateTime TSystemClock::Now() const { return WallClock(true); }

TDateTime TSystemClock::NowUtc() const { return WallClock(false); }

std::int64_t TSystemClock::MonotonicMs() const {
  const std::int64_t bootNs = BootNs();
  if (speed_ == 1.0) return bootNs / kNsPerMs;
  return SaturatingAdd(startBootNs_ / kNsPerMs, ScaledElapsedMs(bootNs));
}

void TSystemClock::SleepMs(std::int64_t ms) const {
  const std::int64_t realNs = RealNsFor(ms);
  if (realNs > 0) SleepUntilBootNs(BootNs() + realNs);
}

bool TSystemClock::WaitMs(std::int64_t ms, std::stop_token stop) const {
  if (stop.stop_requested()) return false;
  const std::int64_t deadline = BootNs() + RealNsFor(ms);
  std::mutex mutex;
  std::condition_variable_any wake;
  std::unique_lock lock(mutex);
  for (std::int64_t left = deadline - BootNs(); left > 0; left = deadline - BootNs()) {
    // Nothing notifies but the stop request, which ends the wait inside wait_for.
    wake.wait_for(lock, stop, std::chrono::nanoseconds(std::min(left, kWaitSliceNs)),
                  [] { return false; });
    if (stop.stop_requested()) return false;
  }
  return true;
}

TDateTime TSystemClock::WallClock(bool toLocal) const {
  if (speed_ == 1.0) return toLocal ? NowLocal() : dravik::NowUtc();
  const std::int64_t unixMs = SaturatingAdd(startUnixMs_, ScaledElapsedMs(BootNs()));
  const std::int64_t seconds = FloorDiv(unixMs, 1000);
  const auto nanoseconds = static_cast<int>((unixMs - seconds * 1000) * kNsPerMs);
  return DateTimeFromUnix(seconds, nanoseconds, toLocal);
}

std::int64_t TSystemClock::ScaledElapsedMs(std::int64_t bootNs) const {
  return SaturatingMs(static_cast<double>(bootNs - startBootNs_) * speed_ / kNsPerMs);
}

std::int64_t TSystemClock::RealNsFor(std::int64_t ms) const {
  if (ms <= 0) return 0;
  const double ns = static_cast<double>(ms) * kNsPerMs / speed_;
  return static_cast<std::int64_t>(std::min(ns, kMaxSleepNs));
}

TManualClock::TManualClock(TDateTime startLocal, int utcBiasMinutes)
    : utcBiasMs_(std::int64_t{utcBiasMinutes} * kMsPerMinute), now_(startLocal) {}

TDateTime TManualClock::Now() const {
  std::lock_guard lock(mutex_);
  return now_;
}

TDateTime TManualClock::NowUtc() const {
  std::lock_guard lock(mutex_);
  return IncMilliseconds(now_, utcBiasMs_);
}

std::int64_t TManualClock::MonotonicMs() const {
  std::lock_guard lock(mutex_);
  return monotonicMs_;
}

void TManualClock::SleepMs(std::int64_t ms) const { Advance(std::max<std::int64_t>(ms, 0)); }

bool TManualClock::WaitMs(std::int64_t ms, std::stop_token stop) const {
  if (stop.stop_requested()) return false;
  SleepMs(ms);
  return true;
}

void TManualClock::AdvanceMs(std::int64_t ms) {
  if (ms < 0) throw Exception("TManualClock::AdvanceMs: the clock cannot go back");
  Advance(ms);
}

void TManualClock::SetNow(TDateTime local) {
  std::lock_guard lock(mutex_);
  now_ = local;
}

void TManualClock::Advance(std::int64_t ms) const {
  if (ms == 0) return;  // keeps a value given to SetNow exactly as it was
  std::lock_guard lock(mutex_);
  now_ = IncMilliseconds(now_, ms);
  monotonicMs_ = SaturatingAdd(monotonicMs_, ms);
}

IClock& SystemClock() {
  // Never destroyed: a detached thread may still sleep on it while statics are torn down.
  // It lives in static storage, not on the heap, so that a library that links this code and
  // is unloaded with dlclose leaves no memory behind.
  alignas(TSystemClock) static unsigned char storage[sizeof(TSystemClock)];
  static TSystemClock* const clock = ::new (storage) TSystemClock(1.0);
  return *clock;
}

IClock& ProgramClock() {
#if DRAVIK_TEST_HOOKS
  alignas(TSystemClock) static unsigned char storage[sizeof(TSystemClock)];
  static IClock* const clock = []() -> IClock* {
    const char* speed = std::getenv("DRAVIK_TEST_CLOCK_SPEED");
    if (!speed || !*speed) return &SystemClock();
    char* end = nullptr;
    const double value = std::strtod(speed, &end);
    if (!end || *end != '\0') return &SystemClock();
    return ::new (storage) TSystemClock(value);
  }();
  return *clock;
#else
  return SystemClock();
#endif
}

}  // namespace dravik
