#include "KvClock.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <limits>
#include <stop_token>
#include <thread>
#include <vector>

#include "KvObject.h"

namespace dravik {

// Lets failing expectations print a value as its text.
void PrintTo(TDateTime value, std::ostream* os) {
  *os << FormatDateTime("yyyy-mm-dd hh:nn:ss.zzz", value) << " (" << value.Days() << ')';
}

namespace {

std::int64_t BootMs() {
  timespec now{};
  clock_gettime(CLOCK_BOOTTIME, &now);
  return now.tv_sec * 1000 + now.tv_nsec / 1'000'000;
}

std::int64_t RealtimeMs() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return now.tv_sec * 1000 + now.tv_nsec / 1'000'000;
}

class TManualClockTest : public testing::Test {
 protected:
  const TDateTime start_ = EncodeDateTime(2024, 3, 7, 10, 0, 0);
  TManualClock clock_{start_, -180};  // a zone 3 hours ahead of UTC
};

TEST_F(TManualClockTest, Constructed_StartsAtTheGivenTimeWithMonotonicZero) {
  EXPECT_EQ(clock_.Now(), start_);
  EXPECT_EQ(clock_.NowUtc(), EncodeDateTime(2024, 3, 7, 7, 0, 0));
  EXPECT_EQ(clock_.MonotonicMs(), 0);
}

TEST_F(TManualClockTest, AdvanceAndSleep_MoveWallAndMonotonicTimeTogether) {
  clock_.AdvanceMs(1500);
  clock_.SleepMs(250);
  clock_.SleepMs(0);
  clock_.SleepMs(-5);

  EXPECT_EQ(clock_.MonotonicMs(), 1750);
  EXPECT_EQ(clock_.Now(), EncodeDateTime(2024, 3, 7, 10, 0, 1, 750));
  EXPECT_EQ(clock_.NowUtc(), EncodeDateTime(2024, 3, 7, 7, 0, 1, 750));
}

TEST_F(TManualClockTest, SetNow_MovesOnlyTheWallClockTime) {
  clock_.AdvanceMs(60'000);
  const TDateTime earlier = EncodeDateTime(2023, 12, 31, 23, 30, 0);

  clock_.SetNow(earlier);

  EXPECT_EQ(clock_.Now(), earlier);
  EXPECT_EQ(clock_.NowUtc(), EncodeDateTime(2023, 12, 31, 20, 30, 0));
  EXPECT_EQ(clock_.MonotonicMs(), 60'000);
}

TEST_F(TManualClockTest, AdvanceMsNegative_ThrowsAndChangesNothing) {
  EXPECT_THROW(clock_.AdvanceMs(-1), Exception);

  EXPECT_EQ(clock_.Now(), start_);
  EXPECT_EQ(clock_.MonotonicMs(), 0);
}

TEST_F(TManualClockTest, WaitMs_AdvancesUnlessAStopWasRequested) {
  std::stop_source stop;

  EXPECT_TRUE(clock_.WaitMs(500, stop.get_token()));
  stop.request_stop();
  EXPECT_FALSE(clock_.WaitMs(500, stop.get_token()));

  EXPECT_EQ(clock_.MonotonicMs(), 500);
}

TEST_F(TManualClockTest, SleepsFromManyThreads_AllCount) {
  constexpr int kThreads = 8;
  constexpr int kSleeps = 1000;
  std::vector<std::thread> threads;

  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([this] {
      for (int i = 0; i < kSleeps; ++i) clock_.SleepMs(1);
    });
  for (std::thread& thread : threads) thread.join();

  EXPECT_EQ(clock_.MonotonicMs(), kThreads * kSleeps);
  EXPECT_EQ(clock_.Now(), EncodeDateTime(2024, 3, 7, 10, 0, 8));
}

TEST(TSystemClock, SpeedThatIsNotAFinitePositiveNumber_IsTakenAsOne) {
  const double cases[] = {0.0, -2.0, std::numeric_limits<double>::quiet_NaN(),
                          std::numeric_limits<double>::infinity(),
                          -std::numeric_limits<double>::infinity()};
  for (double speed : cases) {
    SCOPED_TRACE(speed);
    EXPECT_EQ(TSystemClock(speed).Speed(), 1.0);
  }
  EXPECT_EQ(TSystemClock(0.5).Speed(), 0.5);
  EXPECT_EQ(TSystemClock(50.0).Speed(), 50.0);
}

TEST(TSystemClock, ProcessClock_ShowsTheRealClocks) {
  const IClock& clock = SystemClock();

  const std::int64_t bootBefore = BootMs();
  const std::int64_t wallBefore = RealtimeMs();
  const std::int64_t monotonic = clock.MonotonicMs();
  const std::int64_t utc = DateTimeToUnixMs(clock.NowUtc());
  const std::int64_t local = DateTimeToUnixMs(clock.Now());
  const std::int64_t localReal = DateTimeToUnixMs(NowLocal());
  const std::int64_t wallAfter = RealtimeMs();
  const std::int64_t bootAfter = BootMs();

  EXPECT_EQ(&SystemClock(), &clock);
  EXPECT_GE(monotonic, bootBefore);
  EXPECT_LE(monotonic, bootAfter);
  EXPECT_GE(utc, wallBefore);
  EXPECT_LE(utc, wallAfter);
  EXPECT_LE(std::abs(localReal - local), wallAfter - wallBefore);
}

TEST(TSystemClock, FastClock_MonotonicAndWallTimeRunSpeedTimesFaster) {
  constexpr double kSpeed = 50.0;
  constexpr std::int64_t kRealMs = 100;
  const TSystemClock clock(kSpeed);

  const std::int64_t bootBefore = BootMs();
  const std::int64_t monotonicBefore = clock.MonotonicMs();
  const std::int64_t utcBefore = DateTimeToUnixMs(clock.NowUtc());
  std::this_thread::sleep_for(std::chrono::milliseconds(kRealMs));
  const std::int64_t utcAfter = DateTimeToUnixMs(clock.NowUtc());
  const std::int64_t monotonicAfter = clock.MonotonicMs();
  const std::int64_t bootAfter = BootMs();

  // Millisecond truncation of each reading allows one millisecond of slack per reading.
  const auto lowest = static_cast<std::int64_t>(kRealMs * kSpeed) - 2;
  const auto highest = static_cast<std::int64_t>((bootAfter - bootBefore + 2) * kSpeed);
  EXPECT_GE(monotonicAfter - monotonicBefore, lowest);
  EXPECT_LE(monotonicAfter - monotonicBefore, highest);
  EXPECT_GE(utcAfter - utcBefore, lowest);
  EXPECT_LE(utcAfter - utcBefore, highest);
}

TEST(TSystemClock, FastClock_SleepMsTakesTheScaledRealTime) {
  const TSystemClock clock(50.0);
  const std::int64_t monotonicBefore = clock.MonotonicMs();
  const std::int64_t bootBefore = BootMs();

  clock.SleepMs(1000);

  const std::int64_t realMs = BootMs() - bootBefore;
  EXPECT_GE(realMs, 19);
  EXPECT_LT(realMs, 1000);
  EXPECT_GE(clock.MonotonicMs() - monotonicBefore, 1000);
}

TEST(TSystemClock, SleepMsOfNoTime_ReturnsAtOnce) {
  const TSystemClock clock;
  const std::int64_t bootBefore = BootMs();

  clock.SleepMs(0);
  clock.SleepMs(-1);
  clock.SleepMs(std::numeric_limits<std::int64_t>::min());

  EXPECT_LT(BootMs() - bootBefore, 200);
}

std::atomic<int> signalsHandled{0};

void CountSignal(int) { signalsHandled.fetch_add(1); }

TEST(TSystemClock, SleepMsInterruptedBySignals_StillSleepsTheWholePeriod) {
  struct sigaction action {};
  struct sigaction saved {};
  action.sa_handler = CountSignal;  // without SA_RESTART, so that sleeps see EINTR
  sigemptyset(&action.sa_mask);
  ASSERT_EQ(sigaction(SIGUSR1, &action, &saved), 0);
  signalsHandled = 0;
  const TSystemClock clock;
  std::atomic<bool> done{false};
  std::int64_t sleptMs = 0;

  std::thread sleeper([&] {
    const std::int64_t before = BootMs();
    clock.SleepMs(200);
    sleptMs = BootMs() - before;
    done = true;
  });
  const pthread_t target = sleeper.native_handle();
  while (!done) {
    pthread_kill(target, SIGUSR1);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  sleeper.join();
  sigaction(SIGUSR1, &saved, nullptr);

  EXPECT_GE(signalsHandled.load(), 1);  // ThreadSanitizer may hold signals until the sleep ends
  EXPECT_GE(sleptMs, 199);
}

TEST(TSystemClock, WaitMs_EndsEarlyOnlyWhenAStopIsRequested) {
  const TSystemClock clock;
  std::stop_source stop;
  std::int64_t bootBefore = BootMs();

  EXPECT_TRUE(clock.WaitMs(50, stop.get_token()));
  EXPECT_GE(BootMs() - bootBefore, 49);

  bootBefore = BootMs();
  bool waited = true;
  std::thread waiter([&] { waited = clock.WaitMs(60'000, stop.get_token()); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  stop.request_stop();
  waiter.join();
  EXPECT_FALSE(waited);
  EXPECT_LT(BootMs() - bootBefore, 900);  // well inside the one-second wake-up slice

  bootBefore = BootMs();
  EXPECT_FALSE(clock.WaitMs(60'000, stop.get_token()));
  EXPECT_LT(BootMs() - bootBefore, 200);
}

// A clock that only implements the required members, to exercise IClock's own WaitMs.
class TSliceRecordingClock final : public IClock {
 public:
  TDateTime Now() const override { return TDateTime(); }
  TDateTime NowUtc() const override { return TDateTime(); }
  std::int64_t MonotonicMs() const override { return 0; }
  void SleepMs(std::int64_t ms) const override {
    slices.push_back(ms);
    if (slices.size() == stopAfterSlices) stop.request_stop();
  }

  mutable std::vector<std::int64_t> slices;
  mutable std::stop_source stop;
  std::size_t stopAfterSlices = 0;
};

TEST(IClock, DefaultWaitMs_SleepsInSlicesAndStopsBetweenThem) {
  TSliceRecordingClock whole;
  TSliceRecordingClock stopped;
  stopped.stopAfterSlices = 2;

  EXPECT_TRUE(whole.WaitMs(120, whole.stop.get_token()));
  EXPECT_FALSE(stopped.WaitMs(500, stopped.stop.get_token()));

  EXPECT_EQ(whole.slices, (std::vector<std::int64_t>{50, 50, 20}));
  EXPECT_EQ(stopped.slices, (std::vector<std::int64_t>{50, 50}));
}

}  // namespace
}  // namespace dravik
