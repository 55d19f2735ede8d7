#include "KvDateTime.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <ctime>
#include <limits>

#include "Ascii.h"
#include "KvObject.h"

namespace dravik {

namespace {

namespace chr = std::chrono;

constexpr std::int64_t kMsPerSecond = 1000;
constexpr std::int64_t kMsPerMinute = 60 * kMsPerSecond;
constexpr std::int64_t kMsPerHour = 60 * kMsPerMinute;
constexpr std::int64_t kMsPerDay = 24 * kMsPerHour;
constexpr std::int64_t kSecondsPerDay = kMsPerDay / kMsPerSecond;

// The day number of 1970-01-01, where chrono's sys_days and Unix time count from.
constexpr std::int64_t kUnixEpochDay = 25'569;

constexpr std::int64_t DayNumber(const chr::year_month_day& date) {
  return chr::sys_days(date).time_since_epoch().count() + kUnixEpochDay;
}

constexpr std::int64_t kFirstDay = DayNumber(chr::year(1) / 1 / 1);
constexpr std::int64_t kLastDay = DayNumber(chr::year(9999) / 12 / 31);
static_assert(kFirstDay == -693'593 && kLastDay == 2'958'465);

// All arithmetic works on milliseconds since 1899-12-30 00:00 on a linear time line, which
// the day count is not before that day.
constexpr std::int64_t kFirstMs = kFirstDay * kMsPerDay;
constexpr std::int64_t kLastMs = (kLastDay + 1) * kMsPerDay - 1;

// Two days beyond each limit leave room for any zone offset and still clamp to the limit.
constexpr std::int64_t kFirstUnixSecond = (kFirstDay - kUnixEpochDay - 2) * kSecondsPerDay;
constexpr std::int64_t kLastUnixSecond = (kLastDay - kUnixEpochDay + 2) * kSecondsPerDay;

constexpr std::int64_t FloorDiv(std::int64_t a, std::int64_t b) {
  const std::int64_t q = a / b;
  return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

std::int64_t ClampMs(std::int64_t ms) { return std::clamp(ms, kFirstMs, kLastMs); }

std::int64_t ToLinearMs(TDateTime value) {
  double days = value.Days();
  if (std::isnan(days)) return 0;
  // Clamping before the conversion keeps every product far inside int64.
  days = std::clamp(days, static_cast<double>(kFirstDay - 1), static_cast<double>(kLastDay + 1));
  const double whole = std::trunc(days);
  const double fraction = std::fabs(days - whole);  // exact: no bits are lost
  const std::int64_t timeMs = std::llround(fraction * static_cast<double>(kMsPerDay));
  return ClampMs(static_cast<std::int64_t>(whole) * kMsPerDay + timeMs);
}

TDateTime FromLinearMs(std::int64_t ms) {
  ms = ClampMs(ms);
  const std::int64_t day = FloorDiv(ms, kMsPerDay);
  const double fraction =
      static_cast<double>(ms - day * kMsPerDay) / static_cast<double>(kMsPerDay);
  const double whole = static_cast<double>(day);
  return TDateTime(day >= 0 ? whole + fraction : whole - fraction);
}

// Local time minus UTC at a Unix time, in seconds; 0 when the C library cannot tell.
std::int64_t LocalOffsetSeconds(std::int64_t unixSeconds) {
  const auto time = static_cast<std::time_t>(unixSeconds);
  std::tm parts{};
  if (localtime_r(&time, &parts) == nullptr) return 0;
  return parts.tm_gmtoff;
}

TDateTime CurrentTime(bool toLocal) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return DateTimeFromUnix(now.tv_sec, static_cast<int>(now.tv_nsec), toLocal);
}

bool InRange(int value, int first, int last) { return value >= first && value <= last; }

void AppendDigits(std::string& out, int value, int width) {
  std::array<char, 4> digits{};
  for (int i = width - 1; i >= 0; --i) {
    digits[static_cast<std::size_t>(i)] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
  out.append(digits.data(), static_cast<std::size_t>(width));
}

}  // namespace

bool TryEncodeDateTime(const TDateTimeParts& parts, TDateTime& out) {
  if (!InRange(parts.year, 1, 9999) || !InRange(parts.month, 1, 12) || !InRange(parts.day, 1, 31) ||
      !InRange(parts.hour, 0, 23) || !InRange(parts.minute, 0, 59) ||
      !InRange(parts.second, 0, 59) || !InRange(parts.millisecond, 0, 999))
    return false;
  const chr::year_month_day date(chr::year(parts.year), chr::month(unsigned(parts.month)),
                                 chr::day(unsigned(parts.day)));
  if (!date.ok()) return false;  // a day past the month's end
  out = FromLinearMs(DayNumber(date) * kMsPerDay + parts.hour * kMsPerHour +
                     parts.minute * kMsPerMinute + parts.second * kMsPerSecond + parts.millisecond);
  return true;
}

TDateTime EncodeDateTime(int year, int month, int day, int hour, int minute, int second,
                         int millisecond) {
  TDateTime value;
  if (!TryEncodeDateTime({year, month, day, hour, minute, second, millisecond}, value))
    throw EConvertError("Invalid argument to date encode");
  return value;
}

TDateTimeParts DecodeDateTime(TDateTime value) {
  const std::int64_t ms = ToLinearMs(value);
  const std::int64_t day = FloorDiv(ms, kMsPerDay);
  const std::int64_t time = ms - day * kMsPerDay;
  const chr::year_month_day date{
      chr::sys_days(chr::days(static_cast<chr::days::rep>(day - kUnixEpochDay)))};
  return {int(date.year()),
          static_cast<int>(unsigned(date.month())),
          static_cast<int>(unsigned(date.day())),
          static_cast<int>(time / kMsPerHour),
          static_cast<int>(time / kMsPerMinute % 60),
          static_cast<int>(time / kMsPerSecond % 60),
          static_cast<int>(time % kMsPerSecond)};
}

TDateTime DateTimeFromUnix(std::int64_t seconds, int nanoseconds, bool toLocal) {
  seconds = std::clamp(seconds, kFirstUnixSecond, kLastUnixSecond);
  std::int64_t unixMs = seconds * kMsPerSecond + FloorDiv(nanoseconds, 1'000'000);
  if (toLocal) unixMs += LocalOffsetSeconds(FloorDiv(unixMs, kMsPerSecond)) * kMsPerSecond;
  return FromLinearMs(unixMs + kUnixEpochDay * kMsPerDay);
}

std::int64_t DateTimeToUnixMs(TDateTime utc) { return ToLinearMs(utc) - kUnixEpochDay * kMsPerDay; }

std::int64_t SaturatingAdd(std::int64_t a, std::int64_t b) noexcept {
  std::int64_t sum = 0;
  if (__builtin_add_overflow(a, b, &sum))
    return b > 0 ? std::numeric_limits<std::int64_t>::max()
                 : std::numeric_limits<std::int64_t>::min();
  return sum;
}

TDateTime IncMilliseconds(TDateTime value, std::int64_t ms) {
  return FromLinearMs(SaturatingAdd(ToLinearMs(value), ms));
}

TDateTime NowLocal() { return CurrentTime(true); }

TDateTime NowUtc() { return CurrentTime(false); }

int CurrentUtcBiasMinutes() {
  return static_cast<int>(-(LocalOffsetSeconds(std::time(nullptr)) / 60));
}

std::string FormatDateTime(std::string_view format, TDateTime value) {
  const TDateTimeParts parts = DecodeDateTime(value);
  struct Token {
    std::string_view text;  // lower case; longer tokens of a letter come first
    int value;
    int width;
  };
  const std::array<Token, 8> tokens{{{"yyyy", parts.year, 4},
                                     {"yy", parts.year % 100, 2},
                                     {"mm", parts.month, 2},
                                     {"dd", parts.day, 2},
                                     {"hh", parts.hour, 2},
                                     {"nn", parts.minute, 2},
                                     {"ss", parts.second, 2},
                                     {"zzz", parts.millisecond, 3}}};
  std::string out;
  out.reserve(format.size() + 8);
  std::size_t i = 0;
  while (i < format.size()) {
    const char c = format[i];
    if (c == '\'' || c == '"') {
      const std::size_t close = std::min(format.find(c, i + 1), format.size());
      out.append(format.substr(i + 1, close - i - 1));
      i = close + 1;
      continue;
    }
    const auto token = std::find_if(tokens.begin(), tokens.end(), [&](const Token& t) {
      return platform::AsciiEqualNoCase(format.substr(i, t.text.size()), t.text);
    });
    if (token == tokens.end()) {
      out.push_back(c);
      ++i;
    } else {
      AppendDigits(out, token->value, token->width);
      i += token->text.size();
    }
  }
  return out;
}

}  // namespace dravik
