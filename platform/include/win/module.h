// Module lookup (libloaderapi.h) and the few process-wide calls the code needs.
#pragma once
#include "win/base.h"

extern "C" {
HMODULE WINAPI GetModuleHandleW(LPCWSTR moduleName);
DWORD WINAPI GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size);
FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR procName);
HANDLE WINAPI GetCurrentProcess(void);
BOOL WINAPI IsWow64Process(HANDLE process, PBOOL wow64);
}
