// Threads of the driver's own, and what the process tells the driver about its own end.
//
// A thread that runs code of this module must keep the module loaded until its very last
// instruction: COM unloads an in-process server as soon as DllCanUnloadNow says it may, and a host
// may call CoFreeUnusedLibraries (or FreeLibrary) at any moment after its last Release. So every
// thread the driver starts takes a reference to the module before it is created and gives it back
// with FreeLibraryAndExitThread, which never returns into the module; DllCanUnloadNow also answers
// S_FALSE while any such thread exists.
#pragma once

#include <windows.h>

// Starts `routine(argument)` on a new thread that holds the module while it runs. With `thread`,
// the caller gets the thread's handle (to wait for it, then close it); without, the thread runs
// on its own. False, and nothing started, when no module reference or no thread could be had.
bool StartDriverThread(void (*routine)(void *), void *argument, HANDLE *thread);
// Waits for a thread StartDriverThread handed out and closes its handle; nothing for null.
void JoinDriverThread(HANDLE *thread);
// Driver threads that have not yet ended.
LONG LiveDriverThreads();

// DllMain's DLL_PROCESS_DETACH: with `processExit` (lpReserved not null) every other thread of the
// process has already been ended by the system and none can be waited for any more.
void NoteProcessDetach(bool processExit);
bool ProcessIsExiting();
// Whether the calling thread holds the loader lock (inside some module's DllMain, or a
// FreeLibrary on its way through one): a thread that ends needs that lock, so no thread may be
// waited for to end then.
bool ThreadHoldsLoaderLock();
// Neither of the two: threads can be waited for.
inline bool ThreadsCanBeJoined() { return !ProcessIsExiting() && !ThreadHoldsLoaderLock(); }
