// ShellExecuteW records every call; it starts nothing.
#include <shellapi.h>

#include "sim/machine.h"

namespace {
std::vector<sim::ShellExecuteCall> calls;
void ResetShell() { calls.clear(); }
sim::ResetRegistration registration(ResetShell);
}  // namespace

namespace sim {
const std::vector<ShellExecuteCall> &ShellExecuteCalls() { return calls; }
}  // namespace sim

extern "C" HINSTANCE WINAPI ShellExecuteW(HWND owner, LPCWSTR verb, LPCWSTR file, LPCWSTR parameters,
                                          LPCWSTR directory, INT showCommand) {
  calls.push_back(sim::ShellExecuteCall{owner == nullptr, verb ? verb : L"", file ? file : L"",
                                        parameters == nullptr, directory == nullptr, showCommand});
  // A value above 32 reports success; 2 (SE_ERR_FNF) a file that does not exist.
  uintptr_t result = file && sim::FileExists(file) ? 42 : 2;
  return reinterpret_cast<HINSTANCE>(result);
}
