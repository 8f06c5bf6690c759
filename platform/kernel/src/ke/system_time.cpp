// System time, time zone conversion and time fields.
#include "nt/rtl.h"

#include <ctime>

namespace {

// 100 ns intervals between 1601-01-01 and 1970-01-01.
constexpr int64_t kUnixEpochIn100ns = 116444736000000000LL;

int64_t Now100ns(clockid_t clock) {
  timespec ts;
  clock_gettime(clock, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 10000000 + ts.tv_nsec / 100;
}

bool IsLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }
const int kDaysInMonth[2][12] = {{31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31},
                                 {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31}};

int64_t LocalOffset100ns(int64_t systemTime) {
  time_t t = static_cast<time_t>((systemTime - kUnixEpochIn100ns) / 10000000);
  struct tm local;
  localtime_r(&t, &local);
  return static_cast<int64_t>(local.tm_gmtoff) * 10000000;
}

}  // namespace

VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
  CurrentTime->QuadPart = Now100ns(CLOCK_REALTIME) + kUnixEpochIn100ns;
}

VOID KeQuerySystemTimePrecise(PLARGE_INTEGER CurrentTime) { KeQuerySystemTime(CurrentTime); }

VOID ExSystemTimeToLocalTime(PLARGE_INTEGER SystemTime, PLARGE_INTEGER LocalTime) {
  LocalTime->QuadPart = SystemTime->QuadPart + LocalOffset100ns(SystemTime->QuadPart);
}

VOID ExLocalTimeToSystemTime(PLARGE_INTEGER LocalTime, PLARGE_INTEGER SystemTime) {
  SystemTime->QuadPart = LocalTime->QuadPart - LocalOffset100ns(LocalTime->QuadPart);
}

ULONGLONG KeQueryInterruptTime(VOID) { return static_cast<ULONGLONG>(Now100ns(CLOCK_MONOTONIC)); }

LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency) {
  if (PerformanceFrequency) PerformanceFrequency->QuadPart = 10000000;
  LARGE_INTEGER now;
  now.QuadPart = Now100ns(CLOCK_MONOTONIC);
  return now;
}

// Ticks of 15.625 ms since start, as KeQueryTickCount reports on x64.
VOID KeQueryTickCount(PLARGE_INTEGER CurrentCount) {
  CurrentCount->QuadPart = Now100ns(CLOCK_MONOTONIC) / 156250;
}

VOID RtlTimeToTimeFields(PLARGE_INTEGER Time, PTIME_FIELDS TimeFields) {
  int64_t t = Time->QuadPart;
  int64_t ms = (t / 10000) % 1000;
  int64_t totalSeconds = t / 10000000;
  int64_t days = totalSeconds / 86400;
  int64_t secs = totalSeconds % 86400;
  TimeFields->Weekday = static_cast<CSHORT>((days + 1) % 7);  // 1601-01-01 was a Monday
  TimeFields->Hour = static_cast<CSHORT>(secs / 3600);
  TimeFields->Minute = static_cast<CSHORT>((secs % 3600) / 60);
  TimeFields->Second = static_cast<CSHORT>(secs % 60);
  TimeFields->Milliseconds = static_cast<CSHORT>(ms);
  int year = 1601;
  for (;;) {
    int len = IsLeap(year) ? 366 : 365;
    if (days < len) break;
    days -= len;
    ++year;
  }
  int month = 0;
  while (days >= kDaysInMonth[IsLeap(year)][month]) {
    days -= kDaysInMonth[IsLeap(year)][month];
    ++month;
  }
  TimeFields->Year = static_cast<CSHORT>(year);
  TimeFields->Month = static_cast<CSHORT>(month + 1);
  TimeFields->Day = static_cast<CSHORT>(days + 1);
}

BOOLEAN RtlTimeFieldsToTime(PTIME_FIELDS TimeFields, PLARGE_INTEGER Time) {
  TIME_FIELDS &f = *TimeFields;
  if (f.Year < 1601 || f.Month < 1 || f.Month > 12 || f.Day < 1 ||
      f.Day > kDaysInMonth[IsLeap(f.Year)][f.Month - 1] || f.Hour < 0 || f.Hour > 23 ||
      f.Minute < 0 || f.Minute > 59 || f.Second < 0 || f.Second > 59 || f.Milliseconds < 0 ||
      f.Milliseconds > 999)
    return FALSE;
  int64_t days = 0;
  for (int y = 1601; y < f.Year; ++y) days += IsLeap(y) ? 366 : 365;
  for (int m = 0; m < f.Month - 1; ++m) days += kDaysInMonth[IsLeap(f.Year)][m];
  days += f.Day - 1;
  int64_t secs = days * 86400 + f.Hour * 3600 + f.Minute * 60 + f.Second;
  Time->QuadPart = secs * 10000000 + static_cast<int64_t>(f.Milliseconds) * 10000;
  return TRUE;
}
