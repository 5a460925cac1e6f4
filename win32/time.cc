#include "win32/time.h"

#include <sys/time.h>
#include <time.h>

namespace win32 {
namespace {

void Fill(const struct tm& t, long usec, SYSTEMTIME* out) {
  out->wYear = static_cast<WORD>(t.tm_year + 1900);
  out->wMonth = static_cast<WORD>(t.tm_mon + 1);
  out->wDayOfWeek = static_cast<WORD>(t.tm_wday);
  out->wDay = static_cast<WORD>(t.tm_mday);
  out->wHour = static_cast<WORD>(t.tm_hour);
  out->wMinute = static_cast<WORD>(t.tm_min);
  out->wSecond = static_cast<WORD>(t.tm_sec);
  out->wMilliseconds = static_cast<WORD>(usec / 1000);
}

}  // namespace

void GetSystemTime(SYSTEMTIME* time) {
  struct timeval now;
  ::gettimeofday(&now, nullptr);
  struct tm t;
  ::gmtime_r(&now.tv_sec, &t);
  Fill(t, now.tv_usec, time);
}

void GetLocalTime(SYSTEMTIME* time) {
  struct timeval now;
  ::gettimeofday(&now, nullptr);
  struct tm t;
  ::localtime_r(&now.tv_sec, &t);
  Fill(t, now.tv_usec, time);
}

void GetSystemTimeAsFileTime(FILETIME* time) {
  struct timespec now;
  ::clock_gettime(CLOCK_REALTIME, &now);
  uint64_t t = (static_cast<uint64_t>(now.tv_sec) + 11644473600ULL) * 10000000ULL +
               static_cast<uint64_t>(now.tv_nsec) / 100;
  time->dwLowDateTime = static_cast<DWORD>(t);
  time->dwHighDateTime = static_cast<DWORD>(t >> 32);
}

}  // namespace win32
