#include "KvDateTime.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <optional>
#include <random>
#include <string>

#include "KvObject.h"

namespace dravik {

// Lets failing expectations print parts as a date.
void PrintTo(const TDateTimeParts& p, std::ostream* os) {
  *os << p.year << '-' << p.month << '-' << p.day << ' ' << p.hour << ':' << p.minute << ':'
      << p.second << '.' << p.millisecond;
}

namespace {

constexpr std::int64_t kMsPerDay = 86'400'000;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr TDateTimeParts kFirstMoment{1, 1, 1, 0, 0, 0, 0};
constexpr TDateTimeParts kLastMoment{9999, 12, 31, 23, 59, 59, 999};

std::int64_t FloorDiv(std::int64_t a, std::int64_t b) {
  return a / b - ((a % b != 0 && (a < 0) != (b < 0)) ? 1 : 0);
}

std::int64_t FloorMod(std::int64_t a, std::int64_t b) { return a - FloorDiv(a, b) * b; }

TDateTime FromUnixMs(std::int64_t ms) {
  return DateTimeFromUnix(FloorDiv(ms, 1000), static_cast<int>(FloorMod(ms, 1000) * 1'000'000),
                          false);
}

// Sets TZ for the life of the object and restores the old value (or its absence) after.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* zone) {
    if (const char* old = std::getenv("TZ")) saved_ = old;
    setenv("TZ", zone, 1);
    tzset();
  }
  ScopedTimeZone(const ScopedTimeZone&) = delete;
  ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;
  ~ScopedTimeZone() {
    if (saved_) {
      setenv("TZ", saved_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

 private:
  std::optional<std::string> saved_;
};

bool ZoneInstalled(const std::string& name) {
  struct stat info {};
  return stat(("/usr/share/zoneinfo/" + name).c_str(), &info) == 0;
}

struct EncodeCase {
  TDateTimeParts parts;
  double days;
};

TEST(KvDateTime, ValidParts_EncodeToTheirDayCountAndDecodeBack) {
  const EncodeCase cases[] = {
      {{1899, 12, 30, 0, 0, 0, 0}, 0.0},
      {{1899, 12, 30, 12, 0, 0, 0}, 0.5},
      {{1899, 12, 31, 18, 0, 0, 0}, 1.75},
      {{1899, 12, 29, 0, 0, 0, 0}, -1.0},
      {{1899, 12, 29, 6, 0, 0, 0}, -1.25},
      {{1899, 12, 28, 23, 59, 59, 999}, -2.0 - 86'399'999.0 / kMsPerDay},
      {{1900, 3, 1, 0, 0, 0, 0}, 61.0},  // 1900 has no 29 February
      {{1970, 1, 1, 0, 0, 0, 0}, 25569.0},
      {{2000, 2, 29, 0, 0, 0, 0}, 36585.0},
      {{2024, 3, 7, 9, 5, 4, 32}, 45358.0 + 32'704'032.0 / kMsPerDay},
      {kFirstMoment, -693593.0},
      {kLastMoment, 2958465.0 + 86'399'999.0 / kMsPerDay},
  };
  for (const EncodeCase& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.parts));
    const TDateTimeParts& p = c.parts;

    const TDateTime value =
        EncodeDateTime(p.year, p.month, p.day, p.hour, p.minute, p.second, p.millisecond);

    EXPECT_DOUBLE_EQ(value.Days(), c.days);
    EXPECT_EQ(DecodeDateTime(TDateTime(c.days)), p);
  }
}

TEST(KvDateTime, ImpossibleParts_ThrowEConvertErrorAndTryEncodeLeavesOutputAlone) {
  const TDateTimeParts cases[] = {
      {1900, 2, 29, 0, 0, 0, 0},   {2100, 2, 29, 0, 0, 0, 0}, {2023, 2, 29, 0, 0, 0, 0},
      {2023, 4, 31, 0, 0, 0, 0},   {2023, 1, 32, 0, 0, 0, 0}, {2023, 1, 0, 0, 0, 0, 0},
      {2023, 0, 1, 0, 0, 0, 0},    {2023, 13, 1, 0, 0, 0, 0}, {0, 12, 31, 0, 0, 0, 0},
      {10000, 1, 1, 0, 0, 0, 0},   {-1, 1, 1, 0, 0, 0, 0},    {2023, 1, 1, 24, 0, 0, 0},
      {2023, 1, 1, -1, 0, 0, 0},   {2023, 1, 1, 0, 60, 0, 0}, {2023, 1, 1, 0, 0, 60, 0},
      {2023, 1, 1, 0, 0, 0, 1000}, {2023, 1, 1, 0, 0, 0, -1},
  };
  for (const TDateTimeParts& p : cases) {
    SCOPED_TRACE(testing::PrintToString(p));
    TDateTime out(42.0);

    EXPECT_FALSE(TryEncodeDateTime(p, out));
    EXPECT_EQ(out.Days(), 42.0);
    try {
      EncodeDateTime(p.year, p.month, p.day, p.hour, p.minute, p.second, p.millisecond);
      ADD_FAILURE() << "no exception";
    } catch (const EConvertError& e) {
      EXPECT_EQ(e.Message(), "Invalid argument to date encode");
    }
  }
}

struct DecodeCase {
  double days;
  TDateTimeParts parts;
};

TEST(KvDateTime, Decode_RoundsToTheMillisecondAndClampsValuesOutOfRange) {
  const DecodeCase cases[] = {
      {-0.5, {1899, 12, 30, 12, 0, 0, 0}},  // the date of -0.x is day 0
      {0.1, {1899, 12, 30, 2, 24, 0, 0}},
      {1.0 / 1440 - 1e-12, {1899, 12, 30, 0, 1, 0, 0}},  // just below a minute
      {1.0 - 1e-10, {1899, 12, 31, 0, 0, 0, 0}},         // rounds into the next day
      {-1.9999999999, {1899, 12, 30, 0, 0, 0, 0}},       // the end of 12-29 rounds to 12-30
      {-693593.5, {1, 1, 1, 12, 0, 0, 0}},
      {-693594.0, kFirstMoment},
      {2958466.0, kLastMoment},
      {1e300, kLastMoment},
      {-1e300, kFirstMoment},
      {kInf, kLastMoment},
      {-kInf, kFirstMoment},
      {kNaN, {1899, 12, 30, 0, 0, 0, 0}},
  };
  for (const DecodeCase& c : cases) {
    SCOPED_TRACE(c.days);
    EXPECT_EQ(DecodeDateTime(TDateTime(c.days)), c.parts);
  }
}

// Every millisecond around the points where the arithmetic changes, and a random sample of
// the whole range, go from Unix time to a value, to parts and back without any change.
TEST(KvDateTime, EveryMillisecond_RoundTripsThroughPartsAndUnixTime) {
  const std::int64_t kDay0 = -25569 * kMsPerDay;  // 1899-12-30 in Unix milliseconds
  const std::int64_t kFirst = -719162 * kMsPerDay;
  const std::int64_t kLast = 2932897 * kMsPerDay - 1;
  std::vector<std::int64_t> samples;
  for (std::int64_t centre : {kDay0, kDay0 - kMsPerDay, std::int64_t{0}, 951'782'400'000})
    for (std::int64_t ms = centre - 30'000; ms <= centre + 30'000; ++ms) samples.push_back(ms);
  for (std::int64_t ms = kFirst; ms < kFirst + 30'000; ++ms) samples.push_back(ms);
  for (std::int64_t ms = kLast - 30'000; ms <= kLast; ++ms) samples.push_back(ms);
  std::mt19937_64 random(1);
  std::uniform_int_distribution<std::int64_t> anywhere(kFirst, kLast);
  for (int i = 0; i < 200'000; ++i) samples.push_back(anywhere(random));

  for (std::int64_t ms : samples) {
    const TDateTime value = FromUnixMs(ms);
    const TDateTimeParts p = DecodeDateTime(value);
    TDateTime encoded;
    ASSERT_TRUE(TryEncodeDateTime(p, encoded)) << ms;
    ASSERT_EQ(encoded.Days(), value.Days()) << ms;
    ASSERT_EQ(DateTimeToUnixMs(value), ms);
    ASSERT_EQ(p.millisecond, FloorMod(ms, 1000)) << ms;
    ASSERT_EQ(p.second, FloorMod(FloorDiv(ms, 1000), 60)) << ms;
    ASSERT_EQ(p.hour, FloorMod(ms, kMsPerDay) / 3'600'000) << ms;
  }
}

struct UnixCase {
  std::int64_t seconds;
  int nanoseconds;
  TDateTimeParts parts;
};

TEST(KvDateTime, DateTimeFromUnixUtc_GivesTheUtcMomentTruncatedToMilliseconds) {
  const UnixCase cases[] = {
      {0, 0, {1970, 1, 1, 0, 0, 0, 0}},
      {0, 999'999'999, {1970, 1, 1, 0, 0, 0, 999}},
      {-1, 500'000'000, {1969, 12, 31, 23, 59, 59, 500}},
      {1'700'000'000, 0, {2023, 11, 14, 22, 13, 20, 0}},
      {951'782'400, 0, {2000, 2, 29, 0, 0, 0, 0}},
      {-2'209'161'600, 0, {1899, 12, 30, 0, 0, 0, 0}},
      {-2'209'161'600 - 64'800, 0, {1899, 12, 29, 6, 0, 0, 0}},
      {std::numeric_limits<std::int64_t>::max(), 0, kLastMoment},
      {std::numeric_limits<std::int64_t>::min(), 0, kFirstMoment},
  };
  for (const UnixCase& c : cases) {
    SCOPED_TRACE(c.seconds);
    EXPECT_EQ(DecodeDateTime(DateTimeFromUnix(c.seconds, c.nanoseconds, false)), c.parts);
  }
}

struct IncCase {
  TDateTimeParts start;
  std::int64_t ms;
  TDateTimeParts expected;
};

TEST(KvDateTime, IncMilliseconds_MovesAlongTheTimeLineOnBothSidesOfDayZeroAndClamps) {
  constexpr std::int64_t kHalfDay = kMsPerDay / 2;
  const IncCase cases[] = {
      {{1899, 12, 29, 18, 0, 0, 0}, kHalfDay, {1899, 12, 30, 6, 0, 0, 0}},
      {{1899, 12, 30, 6, 0, 0, 0}, -kHalfDay, {1899, 12, 29, 18, 0, 0, 0}},
      {{1899, 12, 28, 23, 0, 0, 0}, 3'600'000, {1899, 12, 29, 0, 0, 0, 0}},
      {{2000, 2, 28, 23, 59, 59, 999}, 1, {2000, 2, 29, 0, 0, 0, 0}},
      {kLastMoment, 1, kLastMoment},
      {kFirstMoment, -1, kFirstMoment},
      {kFirstMoment, std::numeric_limits<std::int64_t>::max(), kLastMoment},
      {kLastMoment, std::numeric_limits<std::int64_t>::min(), kFirstMoment},
  };
  for (const IncCase& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.start) + " + " + std::to_string(c.ms));
    TDateTime start;
    ASSERT_TRUE(TryEncodeDateTime(c.start, start));

    EXPECT_EQ(DecodeDateTime(IncMilliseconds(start, c.ms)), c.expected);
  }
}

TEST(KvDateTime, NowUtc_IsTheRealTimeToTheMillisecond) {
  timespec before{};
  timespec after{};

  clock_gettime(CLOCK_REALTIME, &before);
  const std::int64_t now = DateTimeToUnixMs(NowUtc());
  clock_gettime(CLOCK_REALTIME, &after);

  EXPECT_GE(now, before.tv_sec * 1000 + before.tv_nsec / 1'000'000);
  EXPECT_LE(now, after.tv_sec * 1000 + after.tv_nsec / 1'000'000);
}

struct ZoneCase {
  std::string zone;
  int biasMinutes;
};

TEST(KvDateTime, LocalTimeInAZone_IsUtcMinusTheBias) {
  const ZoneCase cases[] = {
      {"UTC", 0},
      {"Etc/GMT-3", -180},   // the tz database's name of UTC+3
      {"<-0530>5:30", 330},  // a POSIX rule, which needs no tz database
  };
  std::string missing;
  for (const ZoneCase& c : cases) {
    SCOPED_TRACE(c.zone);
    if (c.zone.find('/') != std::string::npos && !ZoneInstalled(c.zone)) {
      missing += " " + c.zone;
      continue;
    }
    const ScopedTimeZone zone(c.zone.c_str());
    const std::int64_t biasMs = std::int64_t{c.biasMinutes} * 60'000;

    EXPECT_EQ(CurrentUtcBiasMinutes(), c.biasMinutes);
    EXPECT_EQ(DateTimeToUnixMs(DateTimeFromUnix(0, 0, true)), -biasMs);
    const std::int64_t difference =
        DateTimeToUnixMs(NowLocal()) + biasMs - DateTimeToUnixMs(NowUtc());
    EXPECT_LE(std::abs(difference), 1000);
  }
  if (!missing.empty()) GTEST_SKIP() << "time zones not installed (package tzdata):" << missing;
}

struct FormatCase {
  std::string format;
  TDateTimeParts value;
  std::string expected;
};

TEST(KvDateTime, FormatDateTime_ReplacesTokensOfAnyCaseAndCopiesEverythingElse) {
  constexpr TDateTimeParts kMorning{2024, 3, 7, 9, 5, 4, 32};
  constexpr TDateTimeParts kEvening{2005, 11, 23, 23, 59, 58, 7};
  const FormatCase cases[] = {
      {"yyyy'-'mm'-'dd'T'hh':'nn':'ss'.'zzz'Z'", kMorning, "2024-03-07T09:05:04.032Z"},
      {"[yyyy.mm.dd hh:nn:ss:zzz]", kEvening, "[2005.11.23 23:59:58:007]"},
      {"YYYY-MM-DD HH:NN:SS.ZZZ", kMorning, "2024-03-07 09:05:04.032"},
      {"Yyyy mM Dd hH Nn sS zZz", kMorning, "2024 03 07 09 05 04 032"},
      {"yy yyy", kEvening, "05 05y"},
      {"yyyy", kFirstMoment, "0001"},
      {"m d y z h n s zz mmm", kMorning, "m d y z h n s zz 03m"},
      {"'yyyy' \"mm\" 'say \"dd\"' \"it's\"", kMorning, "yyyy mm say \"dd\" it's"},
      {"hh'' nn'unclosed ss", kMorning, "09 05unclosed ss"},
      {"дата: dd, Время: hh", kMorning, "дата: 07, Время: 09"},
      {"", kMorning, ""},
      {"Tx!", kMorning, "Tx!"},
  };
  for (const FormatCase& c : cases) {
    SCOPED_TRACE(c.format);
    TDateTime value;
    ASSERT_TRUE(TryEncodeDateTime(c.value, value));

    EXPECT_EQ(FormatDateTime(c.format, value), c.expected);
  }
}

TEST(KvDateTime, FormatDateTime_UnderAnotherProcessLocale_GivesTheSameText) {
  const std::string saved = std::setlocale(LC_ALL, nullptr);
  const TDateTime value = EncodeDateTime(2024, 12, 31, 13, 14, 15, 16);
  const std::string format = "yyyy-mm-dd hh:nn:ss,zzz 'Iiıİ'";
  const std::string expected = FormatDateTime(format, value);
  const char* locale = nullptr;
  for (const char* candidate : {"tr_TR.UTF-8", "de_DE.UTF-8", "ru_RU.UTF-8", "fr_FR.UTF-8"}) {
    if (std::setlocale(LC_ALL, candidate) != nullptr) {
      locale = candidate;
      break;
    }
  }
  if (locale == nullptr) GTEST_SKIP() << "no locale but C and POSIX is installed";

  const std::string text = FormatDateTime(format, value);
  std::setlocale(LC_ALL, saved.c_str());

  EXPECT_EQ(text, expected) << locale;
}

}  // namespace
}  // namespace dravik
