// The simulated machine's clock and pauses. Pauses are recorded rather than waited for.
#include <mmsystem.h>
#include <time.h>

#include <atomic>

#include "sim/machine.h"
#include "sim/system.h"

namespace {

bool fixed = false;
SYSTEMTIME fixedTime = {};
std::vector<DWORD> sleeps;
// timeGetTime is called from stream threads while tests set it.
std::atomic<bool> tickFixed{false};
std::atomic<DWORD> tickValue{0};
std::atomic<bool> tickCounting{false};

void ResetTime() {
  fixed = false;
  fixedTime = SYSTEMTIME{};
  sleeps.clear();
  tickFixed = false;
  tickValue = 0;
  tickCounting = false;
}
sim::ResetRegistration registration(ResetTime);

}  // namespace

namespace sim {
void SetLocalTime(const SYSTEMTIME &time) {
  fixed = true;
  fixedTime = time;
}
const std::vector<DWORD> &SleepCalls() { return sleeps; }
void SetTimeGetTime(DWORD milliseconds) {
  tickValue = milliseconds;
  tickCounting = false;
  tickFixed = true;
}
void CountTimeGetTime(DWORD first) {
  tickValue = first;
  tickCounting = true;
  tickFixed = true;
}
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

DWORD WINAPI timeGetTime(void) {
  if (tickFixed) return tickCounting ? tickValue.fetch_add(1) : tickValue.load();
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  // Wraps after 2^32 ms, as the real counter does.
  return static_cast<DWORD>(static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u);
}

}  // extern "C"
