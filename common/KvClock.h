// The one clock behind every waiting period of the system: key windows, dialog time-outs,
// the hourly update check, the tray's idle time. Code takes an IClock& so that test builds
// can run it faster and unit tests can move it by hand.
#pragma once

#include <cstdint>
#include <mutex>
#include <stop_token>

#include "KvDateTime.h"

namespace dravik {

// All members may be called from any thread.
class IClock {
 public:
  virtual ~IClock() = default;

  virtual TDateTime Now() const = 0;  // local wall-clock time
  virtual TDateTime NowUtc() const = 0;
  // Milliseconds that never go back and include time the machine spent in suspend, so
  // that a period measured on them ends on time after a suspend.
  virtual std::int64_t MonotonicMs() const = 0;
  // Lets ms milliseconds of this clock pass (none when ms <= 0).
  virtual void SleepMs(std::int64_t ms) const = 0;
  // Like SleepMs, but ends early once a stop is requested, so that a thread waiting for
  // a long period can be stopped at once: true when the period passed, false when stopped
  // (also when the stop was requested before the call). The default sleeps in slices of
  // 50 ms of this clock and looks at the stop between them.
  virtual bool WaitMs(std::int64_t ms, std::stop_token stop) const;
};

// The real clock, optionally running `speed` times faster (or slower) than real time.
class TSystemClock final : public IClock {
 public:
  // A speed that is not a finite number above 0 is taken as 1.
  explicit TSystemClock(double speed = 1.0);

  double Speed() const noexcept { return speed_; }

  // At speed 1, the real wall-clock time; otherwise the wall-clock time at construction
  // plus the scaled time elapsed since then.
  TDateTime Now() const override;
  TDateTime NowUtc() const override;
  // CLOCK_BOOTTIME in milliseconds, its advance since construction scaled by the speed.
  std::int64_t MonotonicMs() const override;
  // Sleeps ms / speed real milliseconds, counting suspend, however often signals interrupt.
  void SleepMs(std::int64_t ms) const override;
  bool WaitMs(std::int64_t ms, std::stop_token stop) const override;

 private:
  TDateTime WallClock(bool toLocal) const;
  std::int64_t ScaledElapsedMs(std::int64_t bootNs) const;
  std::int64_t RealNsFor(std::int64_t ms) const;

  double speed_;
  std::int64_t startBootNs_;
  std::int64_t startUnixMs_;
};

// A clock for tests that moves only when told to.
class TManualClock final : public IClock {
 public:
  // Starts at startLocal and monotonic 0; UTC is always the local time plus the bias
  // (-180 for a zone 3 hours ahead of UTC).
  explicit TManualClock(TDateTime startLocal = TDateTime(), int utcBiasMinutes = 0);

  TDateTime Now() const override;
  TDateTime NowUtc() const override;
  std::int64_t MonotonicMs() const override;
  // Advances the clock by ms (none when ms <= 0) and returns at once.
  void SleepMs(std::int64_t ms) const override;
  // Advances like SleepMs unless a stop was already requested.
  bool WaitMs(std::int64_t ms, std::stop_token stop) const override;

  // Moves the wall-clock and the monotonic time forward; throws Exception for ms < 0,
  // since the monotonic time cannot go back (SetNow can move the wall-clock time back).
  void AdvanceMs(std::int64_t ms);
  // Sets the local wall-clock time; the monotonic time stays.
  void SetNow(TDateTime local);

 private:
  void Advance(std::int64_t ms) const;

  const std::int64_t utcBiasMs_;
  mutable std::mutex mutex_;
  mutable TDateTime now_;
  mutable std::int64_t monotonicMs_ = 0;
};

// The process-wide real clock at speed 1. It is never destroyed, so threads that outlive
// main() may still use it, and takes no heap memory, so a library unloaded with dlclose
// leaves none behind.
IClock& SystemClock();

// The clock of the program's waiting periods: the key windows, the session cleaner and the
// confirmation dialog's countdown. SystemClock, except in test-hook builds where
// DRAVIK_TEST_CLOCK_SPEED holds a number: then a real clock running that many times faster,
// read from the environment at the first call and never destroyed.
IClock& ProgramClock();

}  // namespace dravik
