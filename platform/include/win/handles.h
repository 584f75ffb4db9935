// Kernel-object handles (handleapi.h).
#pragma once
#include "win/base.h"

#define HANDLE_FLAG_INHERIT 0x00000001
#define HANDLE_FLAG_PROTECT_FROM_CLOSE 0x00000002

extern "C" {
BOOL WINAPI CloseHandle(HANDLE object);
BOOL WINAPI SetHandleInformation(HANDLE object, DWORD mask, DWORD flags);
BOOL WINAPI GetHandleInformation(HANDLE object, LPDWORD flags);
}
