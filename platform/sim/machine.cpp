#include "sim/machine.h"

#include <cstdio>
#include <cstdlib>

namespace sim {
namespace {
std::vector<std::pair<int, void (*)()>> &Resets() {
  static std::vector<std::pair<int, void (*)()>> resets;
  return resets;
}
thread_local DWORD lastError = 0;
}  // namespace

void RegisterReset(void (*reset)(), int order) {
  auto &resets = Resets();
  auto at = resets.begin();
  while (at != resets.end() && at->first <= order) ++at;
  resets.insert(at, {order, reset});
}

void Reset() {
  lastError = 0;
  for (auto &entry : Resets()) entry.second();
}

void Unimplemented(const char *call) {
  std::fprintf(stderr, "stand-in: %s is not implemented\n", call);
  std::abort();
}

std::wstring Widen(const std::string &ascii) { return std::wstring(ascii.begin(), ascii.end()); }

std::string Narrow(const std::wstring &text) {
  std::string out;
  for (wchar_t c : text) out.push_back(static_cast<char>(c));
  return out;
}

}  // namespace sim

extern "C" {
DWORD WINAPI GetLastError(void) { return sim::lastError; }
void WINAPI SetLastError(DWORD error) { sim::lastError = error; }

LONG WINAPI InterlockedIncrement(LONG volatile *addend) { return __atomic_add_fetch(addend, 1, __ATOMIC_SEQ_CST); }
LONG WINAPI InterlockedDecrement(LONG volatile *addend) { return __atomic_sub_fetch(addend, 1, __ATOMIC_SEQ_CST); }
LONG WINAPI InterlockedExchange(LONG volatile *target, LONG value) {
  return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
LONG WINAPI InterlockedCompareExchange(LONG volatile *destination, LONG exchange, LONG comparand) {
  __atomic_compare_exchange_n(destination, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return comparand;
}
}
