#include "driver_thread.h"

#include <winternl.h>

namespace {

volatile LONG liveThreads = 0;
volatile LONG processExiting = 0;

struct ThreadStart {
  void (*routine)(void *);
  void *argument;
  HMODULE module;
};

DWORD WINAPI DriverThreadEntry(LPVOID parameter) {
  ThreadStart start = *static_cast<ThreadStart *>(parameter);
  HeapFree(GetProcessHeap(), 0, parameter);
  start.routine(start.argument);
  InterlockedDecrement(&liveThreads);
  // Gives the module back and ends the thread without returning into the module.
  FreeLibraryAndExitThread(start.module, 0);
  return 0;
}

// Where the process environment block keeps its pointer to the loader lock: the same offset on
// every Windows since NT 4 (and in Wine), 0xA0 in 32-bit and 0x110 in 64-bit processes.
const size_t kLoaderLockOffset = sizeof(void *) == 4 ? 0xA0 : 0x110;

}  // namespace

bool StartDriverThread(void (*routine)(void *), void *argument, HANDLE *thread) {
  if (thread) *thread = nullptr;
  ThreadStart *start = static_cast<ThreadStart *>(HeapAlloc(GetProcessHeap(), 0, sizeof(ThreadStart)));
  if (!start) return false;
  start->routine = routine;
  start->argument = argument;
  start->module = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                          reinterpret_cast<LPCWSTR>(reinterpret_cast<const void *>(&DriverThreadEntry)),
                          &start->module)) {
    HeapFree(GetProcessHeap(), 0, start);
    return false;
  }
  InterlockedIncrement(&liveThreads);
  HANDLE made = CreateThread(/* attributes */ nullptr, /* stack */ 0, DriverThreadEntry, start, 0, /* id */ nullptr);
  if (!made) {
    InterlockedDecrement(&liveThreads);
    FreeLibrary(start->module);
    HeapFree(GetProcessHeap(), 0, start);
    return false;
  }
  if (thread)
    *thread = made;
  else
    CloseHandle(made);
  return true;
}

void JoinDriverThread(HANDLE *thread) {
  if (!*thread) return;
  WaitForSingleObject(*thread, INFINITE);
  CloseHandle(*thread);
  *thread = nullptr;
}

LONG LiveDriverThreads() { return InterlockedCompareExchange(&liveThreads, 0, 0); }

void NoteProcessDetach(bool processExit) {
  if (processExit) InterlockedExchange(&processExiting, 1);
}

bool ProcessIsExiting() { return InterlockedCompareExchange(&processExiting, 0, 0) != 0; }

// GCC 12 takes the segment-register read of mingw-w64's NtCurrentTeb for a read of an empty array.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
#endif
static PEB *ProcessBlock() { return NtCurrentTeb()->ProcessEnvironmentBlock; }
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

bool ThreadHoldsLoaderLock() {
  PEB *peb = ProcessBlock();
  if (!peb) return false;
  RTL_CRITICAL_SECTION *lock = *reinterpret_cast<RTL_CRITICAL_SECTION **>(reinterpret_cast<BYTE *>(peb) + kLoaderLockOffset);
  return lock && reinterpret_cast<ULONG_PTR>(lock->OwningThread) == GetCurrentThreadId() && lock->RecursionCount > 0;
}
