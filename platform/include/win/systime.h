// Local time, pauses and the performance counter (sysinfoapi.h, synchapi.h, profileapi.h).
#pragma once
#include "win/base.h"

typedef struct _SYSTEMTIME {
  WORD wYear;
  WORD wMonth;
  WORD wDayOfWeek;
  WORD wDay;
  WORD wHour;
  WORD wMinute;
  WORD wSecond;
  WORD wMilliseconds;
} SYSTEMTIME, *PSYSTEMTIME, *LPSYSTEMTIME;

extern "C" {
void WINAPI GetLocalTime(LPSYSTEMTIME systemTime);
void WINAPI Sleep(DWORD milliseconds);
}
