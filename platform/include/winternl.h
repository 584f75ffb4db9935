// Stand-in for <winternl.h>: the thread and process environment blocks, as far as the loader
// lock's owner can be read from them. The loader lock's pointer sits at the offset Windows keeps
// it at in a 64-bit process.
#pragma once
#include <windows.h>

typedef struct _RTL_CRITICAL_SECTION {
  PVOID DebugInfo;
  LONG LockCount;
  LONG RecursionCount;
  HANDLE OwningThread;
  HANDLE LockSemaphore;
  ULONG_PTR SpinCount;
} RTL_CRITICAL_SECTION, *PRTL_CRITICAL_SECTION;

typedef struct _PEB {
  BYTE Reserved[0x110];
  PRTL_CRITICAL_SECTION LoaderLock;
} PEB, *PPEB;

typedef struct _TEB {
  PVOID Reserved1[12];
  PPEB ProcessEnvironmentBlock;
} TEB, *PTEB;

extern "C" TEB *NtCurrentTeb(void);
