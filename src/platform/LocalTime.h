// The wall clock, broken down in local time (localtime_r). Thread-safe.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace kelpd::platform {

struct LocalTime {
  int year = 1970;  // four digits
  int month = 1;    // 1..12
  int day = 1;      // 1..31
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;          // 0..999
  int weekday = 4;              // 0 = Sunday
  long utc_offset_seconds = 0;  // east of UTC, daylight saving time included
  time_t seconds_since_epoch = 0;
};

// The present local time, with milliseconds.
LocalTime LocalTimeNow();

// The local time of a given moment (milliseconds 0).
LocalTime LocalTimeOf(time_t t);

// Seconds since 1970 (time()).
time_t Now();

// English abbreviations, whatever the process locale.
const char* EnglishDayName(int weekday);  // "Sun".."Sat"
const char* EnglishMonthName(int month);  // "Jan".."Dec"

// "%a, %#d %b %Y %H:%M:%S " followed by the UTC offset as "%+05d" of
// hours * 100 + minutes: the Date form of mail headers, English names,
// day of month without leading zero.
std::string FormatMailDate(const LocalTime& t);

}  // namespace kelpd::platform
