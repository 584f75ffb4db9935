// Threads (processthreadsapi.h) and module references held by threads (libloaderapi.h).
#pragma once
#include "win/base.h"
#include "win/process.h"

#define GET_MODULE_HANDLE_EX_FLAG_PIN 0x00000001
#define GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT 0x00000002
#define GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS 0x00000004

typedef DWORD(WINAPI *LPTHREAD_START_ROUTINE)(LPVOID parameter);

extern "C" {
HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stackSize, LPTHREAD_START_ROUTINE start,
                           LPVOID parameter, DWORD flags, LPDWORD threadId);
DWORD WINAPI GetCurrentThreadId(void);
BOOL WINAPI GetModuleHandleExW(DWORD flags, LPCWSTR moduleName, HMODULE *module);
BOOL WINAPI FreeLibrary(HMODULE module);
[[noreturn]] VOID WINAPI FreeLibraryAndExitThread(HMODULE module, DWORD exitCode);
}
