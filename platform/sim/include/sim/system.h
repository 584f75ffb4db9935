// Test-facing API for the process token, the clock, pauses and the configuration manager of the
// simulated machine.
#pragma once

#include <cfgmgr32.h>
#include <windows.h>

#include <vector>

namespace sim {

// The value TokenElevation reports for the current process (0 on a fresh machine: a process of a
// user without elevation). Windows reports 0 or 1.
void SetTokenElevation(DWORD tokenIsElevated);
// The next OpenProcessToken / GetTokenInformation fails with this error (0: it does not).
void FailOpenProcessToken(DWORD error);
void FailTokenQuery(DWORD error);

// GetLocalTime reports this time from now on; until it is set, the host's local time.
void SetLocalTime(const SYSTEMTIME &time);
// Sleep does not pause the simulated machine; it records the pause asked for.
const std::vector<DWORD> &SleepCalls();

// CM_Locate_DevNodeW finds the root of the device tree under this handle.
const DEVINST kRootDevInst = 1;
struct ReenumerateCall {
  DEVINST devInst;
  ULONG flags;
  CONFIGRET result;
};
const std::vector<ReenumerateCall> &ReenumerateCalls();
// CM_Locate_DevNodeW of the root fails with this result (CR_SUCCESS: it does not).
void FailLocateRoot(CONFIGRET result);

}  // namespace sim
