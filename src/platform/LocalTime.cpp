#include "platform/LocalTime.h"

#include <stdio.h>
#include <time.h>

namespace kelpd::platform {

namespace {

LocalTime Convert(time_t t, int millisecond) {
  struct tm tm {};
  LocalTime out;
  out.seconds_since_epoch = t;
  out.millisecond = millisecond;
  if (::localtime_r(&t, &tm) == nullptr) return out;
  out.year = tm.tm_year + 1900;
  out.month = tm.tm_mon + 1;
  out.day = tm.tm_mday;
  out.hour = tm.tm_hour;
  out.minute = tm.tm_min;
  out.second = tm.tm_sec;
  out.weekday = tm.tm_wday;
  out.utc_offset_seconds = tm.tm_gmtoff;
  return out;
}

}  // namespace

LocalTime LocalTimeNow() {
  struct timespec ts {};
  ::clock_gettime(CLOCK_REALTIME, &ts);
  return Convert(ts.tv_sec, static_cast<int>(ts.tv_nsec / 1000000));
}

LocalTime LocalTimeOf(time_t t) { return Convert(t, 0); }

time_t Now() { return ::time(nullptr); }

const char* EnglishDayName(int weekday) {
  static const char* const kNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  return (weekday >= 0 && weekday < 7) ? kNames[weekday] : "Sun";
}

const char* EnglishMonthName(int month) {
  static const char* const kNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  return (month >= 1 && month <= 12) ? kNames[month - 1] : "Jan";
}

std::string FormatMailDate(const LocalTime& t) {
  long offset_minutes = t.utc_offset_seconds / 60;
  long hhmm = (offset_minutes / 60) * 100 + offset_minutes % 60;
  char buf[64];
  snprintf(buf, sizeof buf, "%s, %d %s %04d %02d:%02d:%02d %+05ld", EnglishDayName(t.weekday),
           t.day, EnglishMonthName(t.month), t.year, t.hour, t.minute, t.second, hhmm);
  return buf;
}

}  // namespace kelpd::platform
