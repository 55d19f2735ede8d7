// The system's one date-time type and its conversions.
//
// A TDateTime counts days since 1899-12-30 00:00 as a double: the whole part is the date,
// the fraction the time of day (0.5 is 1899-12-30 12:00). Before that day the date is the
// truncated whole part and the time the absolute value of the fraction, so -1.25 is
// 1899-12-29 06:00. Formats and failure values of the system are expressed in this count.
#pragma once

#include <compare>
#include <cstdint>
#include <string>
#include <string_view>

namespace dravik {

class TDateTime {
 public:
  constexpr TDateTime() = default;
  constexpr explicit TDateTime(double days) : days_(days) {}

  constexpr double Days() const { return days_; }

  // Compares the day counts as numbers. That is chronological from 1899-12-30 on; before
  // it, a later time of the same day has the smaller count.
  constexpr auto operator<=>(const TDateTime&) const = default;

 private:
  double days_ = 0.0;
};

struct TDateTimeParts {
  int year = 0;
  int month = 0;
  int day = 0;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;

  bool operator==(const TDateTimeParts&) const = default;
};

// Encodes the parts when they name a real moment (year 1..9999, real month lengths with
// leap years, hour 0-23, minute and second 0-59, millisecond 0-999); false leaves `out` as
// it was.
bool TryEncodeDateTime(const TDateTimeParts& parts, TDateTime& out);

// Like TryEncodeDateTime; throws EConvertError ("Invalid argument to date encode") for
// parts that name no real moment.
TDateTime EncodeDateTime(int year, int month, int day, int hour = 0, int minute = 0, int second = 0,
                         int millisecond = 0);

// The parts of a value rounded to the nearest millisecond (exact for every value that
// EncodeDateTime gives). Values before 0001-01-01 00:00:00.000 or after
// 9999-12-31 23:59:59.999 (infinities included) give those limits; NaN gives 1899-12-30.
TDateTimeParts DecodeDateTime(TDateTime value);

// The moment of a Unix time (nanoseconds truncated to milliseconds), as local wall-clock
// time of the process's time zone when toLocal is set, else as UTC. Clamped like
// DecodeDateTime.
TDateTime DateTimeFromUnix(std::int64_t seconds, int nanoseconds, bool toLocal);

// The Unix time in milliseconds of a UTC value (rounded and clamped like DecodeDateTime).
std::int64_t DateTimeToUnixMs(TDateTime utc);

// The value `ms` milliseconds after (or, negative, before) the given one; clamped like
// DecodeDateTime, and correct on both sides of 1899-12-30, unlike adding to Days().
TDateTime IncMilliseconds(TDateTime value, std::int64_t ms);

// The current local wall-clock time and the current UTC time, to the millisecond.
TDateTime NowLocal();
TDateTime NowUtc();

// The minutes to add to the local time to get UTC now: -180 for a zone 3 hours ahead of UTC.
int CurrentUtcBiasMinutes();

// a + b, held at the int64 limits instead of overflowing (far dates, fast clocks).
std::int64_t SaturatingAdd(std::int64_t a, std::int64_t b) noexcept;

// Formats a value without regard to the process locale. Tokens, of any letter case:
// "yyyy" year, "yy" year of the century, "mm" month, "dd" day, "hh" hour (0-23), "nn"
// minute, "ss" second (all two-digit but the year), "zzz" millisecond. Text between single
// or double quotes is copied without its quotes (an unclosed quote runs to the end); any
// other character, a lone "m" or "z" too, is copied unchanged.
// "yyyy'-'mm'-'dd'T'hh':'nn':'ss'.'zzz'Z'" gives ISO 8601 text.
std::string FormatDateTime(std::string_view format, TDateTime value);

}  // namespace dravik
