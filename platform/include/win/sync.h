// Events, mutexes and thread-pool waits (synchapi.h, threadpoollegacyapiset.h).
#pragma once
#include "win/base.h"
#include "win/registry.h"

#define WT_EXECUTEDEFAULT 0x00000000
#define WT_EXECUTEONLYONCE 0x00000008

typedef VOID(CALLBACK *WAITORTIMERCALLBACK)(PVOID context, BOOLEAN timerOrWaitFired);

extern "C" {
HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState, LPCWSTR name);
BOOL WINAPI SetEvent(HANDLE event);
BOOL WINAPI ResetEvent(HANDLE event);
HANDLE WINAPI CreateMutexW(LPSECURITY_ATTRIBUTES attributes, BOOL initialOwner, LPCWSTR name);
BOOL WINAPI ReleaseMutex(HANDLE mutex);
BOOL WINAPI RegisterWaitForSingleObject(PHANDLE newWaitObject, HANDLE object, WAITORTIMERCALLBACK callback,
                                        PVOID context, ULONG milliseconds, ULONG flags);
BOOL WINAPI UnregisterWaitEx(HANDLE waitHandle, HANDLE completionEvent);
}
