// The simulated machine's events and mutexes, for the parts of the simulation that signal them
// (registry change notifications) and wait for them (WaitForSingleObject, thread-pool waits).
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

// The mutex behind a handle, or null. A wait takes it for the calling thread (again, if that
// thread owns it already): WAIT_OBJECT_0 or WAIT_TIMEOUT.
std::shared_ptr<KernelObject> LookupMutex(HANDLE handle);
DWORD WaitForMutex(const std::shared_ptr<KernelObject> &mutex, DWORD milliseconds);
// Named mutexes that exist (some handle to them is open).
int NamedMutexes();

}  // namespace sim
