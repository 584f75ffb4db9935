// What the table of the machine's processes (process_identity.cpp) shares with the calls on
// process handles in process.cpp.
#pragma once

#include <windows.h>

#include <memory>

#include "sim/handles.h"

namespace sim {

// The exit code of a process opened with OpenProcess (STILL_ACTIVE while it lives); false when
// `object` is no such process.
bool OpenedProcessExitCode(const std::shared_ptr<KernelObject> &object, DWORD *exitCode);

}  // namespace sim
