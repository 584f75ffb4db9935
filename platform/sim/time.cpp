// The simulated machine's clock and pauses. Pauses are recorded rather than waited for.
#include <time.h>

#include "sim/machine.h"
#include "sim/system.h"

namespace {

bool fixed = false;
SYSTEMTIME fixedTime = {};
std::vector<DWORD> sleeps;

void ResetTime() {
  fixed = false;
  fixedTime = SYSTEMTIME{};
  sleeps.clear();
}
sim::ResetRegistration registration(ResetTime);

}  // namespace

namespace sim {
void SetLocalTime(const SYSTEMTIME &time) {
  fixed = true;
  fixedTime = time;
}
const std::vector<DWORD> &SleepCalls() { return sleeps; }
}  // namespace sim

extern "C" {

void WINAPI GetLocalTime(LPSYSTEMTIME systemTime) {
  if (!systemTime) sim::Unimplemented("GetLocalTime without a record");
  if (fixed) {
    *systemTime = fixedTime;
    return;
  }
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  struct tm local;
  localtime_r(&now.tv_sec, &local);
  systemTime->wYear = static_cast<WORD>(local.tm_year + 1900);
  systemTime->wMonth = static_cast<WORD>(local.tm_mon + 1);
  systemTime->wDayOfWeek = static_cast<WORD>(local.tm_wday);
  systemTime->wDay = static_cast<WORD>(local.tm_mday);
  systemTime->wHour = static_cast<WORD>(local.tm_hour);
  systemTime->wMinute = static_cast<WORD>(local.tm_min);
  systemTime->wSecond = static_cast<WORD>(local.tm_sec);
  systemTime->wMilliseconds = static_cast<WORD>(now.tv_nsec / 1000000);
}

void WINAPI Sleep(DWORD milliseconds) { sleeps.push_back(milliseconds); }

}  // extern "C"
