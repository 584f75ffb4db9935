// The simulated machine's threads and the references they hold on modules.
#pragma once

#include <windows.h>

#include <memory>

#include "sim/handles.h"

namespace sim {

// For WaitForSingleObject: the thread behind a handle (null when it is none), and a wait for it
// to end: WAIT_OBJECT_0 or WAIT_TIMEOUT.
std::shared_ptr<KernelObject> LookupThread(HANDLE handle);
DWORD WaitForThread(const std::shared_ptr<KernelObject> &thread, DWORD milliseconds);

// GetModuleHandleExW finds the executable's module for any address: the code under test is
// linked into the test program.
// References taken with GetModuleHandleExW and not yet given back with FreeLibrary or
// FreeLibraryAndExitThread.
int ModuleReferences(HMODULE module);
// Threads made with CreateThread that have not ended yet.
int LiveThreads();
// The calling thread holds the loader lock, as inside a DllMain, or no longer does. While it is
// held, a new thread starts running only once it is given back (as its DLL_THREAD_ATTACH waits
// for it), and a wait for a thread to end is a deadlock on Windows (the ending thread needs the
// lock): such waits are counted as faults.
void HoldLoaderLock(bool held);
// Called by any wait for a thread to end, also outside the stand-in (miniaudio's, through the
// tests' seam).
void WaitingForThreadEnd();
// Waits for a thread to end made while the loader lock was held, since the last reset.
int ThreadFaults();

}  // namespace sim
