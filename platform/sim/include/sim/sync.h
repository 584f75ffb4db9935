// The simulated machine's events, for the parts of the simulation that signal them (registry
// change notifications) and wait for them (WaitForSingleObject, thread-pool waits).
#pragma once

#include <windows.h>

#include <memory>

#include "sim/handles.h"

namespace sim {

// The event behind a handle, or null when the handle is not an event.
std::shared_ptr<KernelObject> LookupEvent(HANDLE handle);
void SignalEvent(const std::shared_ptr<KernelObject> &event);
// WAIT_OBJECT_0 or WAIT_TIMEOUT; `event` must come from LookupEvent.
DWORD WaitForEvent(const std::shared_ptr<KernelObject> &event, DWORD milliseconds);

}  // namespace sim
