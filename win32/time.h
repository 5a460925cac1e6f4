// Wall-clock time as Windows reports it.
#pragma once

#include "win32/types.h"

namespace win32 {

struct SYSTEMTIME {
  WORD wYear;
  WORD wMonth;
  WORD wDayOfWeek;
  WORD wDay;
  WORD wHour;
  WORD wMinute;
  WORD wSecond;
  WORD wMilliseconds;
};

void GetSystemTime(SYSTEMTIME* time);
// Local time in the machine's time zone (the host's).
void GetLocalTime(SYSTEMTIME* time);
void GetSystemTimeAsFileTime(FILETIME* time);

}  // namespace win32
