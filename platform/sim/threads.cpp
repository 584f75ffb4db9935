// Threads made with CreateThread, and module references. Each thread is a host thread whose
// kernel object is signalled once the thread has ended, whether its routine returned or it ended
// itself with FreeLibraryAndExitThread.
#include "sim/threads.h"

#include <pthread.h>
#include <time.h>
#include <winternl.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>

#include "sim/handles.h"
#include "sim/machine.h"

struct SimThread : sim::KernelObject {
  const char *Kind() const override { return "thread"; }
  std::mutex lock;
  std::condition_variable changed;
  bool ended = false;
  DWORD exitCode = STILL_ACTIVE;

  void End(DWORD code) {
    std::lock_guard<std::mutex> guard(lock);
    ended = true;
    exitCode = code;
    changed.notify_all();
  }
  bool Wait(DWORD milliseconds) {
    std::unique_lock<std::mutex> guard(lock);
    if (milliseconds == INFINITE) {
      changed.wait(guard, [this] { return ended; });
      return true;
    }
    return changed.wait_for(guard, std::chrono::milliseconds(milliseconds), [this] { return ended; });
  }
};

namespace {

struct ThreadState {
  std::mutex lock;
  std::map<HMODULE, int> references;
};

ThreadState &T() {
  static ThreadState state;
  return state;
}

std::atomic<int> liveThreads{0};
std::atomic<int> threadFaults{0};
// The thread that holds the loader lock; 0 when none does.
std::atomic<DWORD> loaderOwner{0};
std::atomic<DWORD> nextThreadId{0x100};
thread_local DWORD currentThreadId = 0;
thread_local SimThread *currentThread = nullptr;

// The loader lock, and a process environment block per thread pointing at it.
RTL_CRITICAL_SECTION loaderLock = {};
thread_local PEB threadPeb = {};
thread_local TEB threadTeb = {};

struct Start {
  std::shared_ptr<SimThread> thread;
  LPTHREAD_START_ROUTINE routine;
  LPVOID parameter;
  DWORD id;
};

void Finish(DWORD code) {
  SimThread *self = currentThread;
  currentThread = nullptr;
  --liveThreads;
  if (self) self->End(code);
}

void *Run(void *parameter) {
  Start *start = static_cast<Start *>(parameter);
  std::shared_ptr<SimThread> self = start->thread;
  currentThreadId = start->id;
  currentThread = self.get();
  LPTHREAD_START_ROUTINE routine = start->routine;
  LPVOID argument = start->parameter;
  delete start;
  // The thread's start notifications need the loader lock.
  while (loaderOwner.load() != 0) {
    struct timespec pause = {0, 1000000};
    nanosleep(&pause, nullptr);
  }
  DWORD code = routine(argument);
  Finish(code);
  return nullptr;
}

void ResetThreads() {
  std::lock_guard<std::mutex> guard(T().lock);
  T().references.clear();
  threadFaults = 0;
}
sim::ResetRegistration registration(ResetThreads);

}  // namespace

namespace sim {

int ModuleReferences(HMODULE module) {
  std::lock_guard<std::mutex> guard(T().lock);
  auto it = T().references.find(module);
  return it == T().references.end() ? 0 : it->second;
}

int LiveThreads() { return liveThreads.load(); }

void HoldLoaderLock(bool held) {
  loaderOwner = held ? GetCurrentThreadId() : 0;
  loaderLock.OwningThread = held ? reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(GetCurrentThreadId())) : nullptr;
  loaderLock.RecursionCount = held ? 1 : 0;
}

std::shared_ptr<KernelObject> LookupThread(HANDLE handle) { return LookupHandleAs<SimThread>(handle); }

void WaitingForThreadEnd() {
  if (loaderOwner.load() != 0) ++threadFaults;
}

int ThreadFaults() { return threadFaults.load(); }

DWORD WaitForThread(const std::shared_ptr<KernelObject> &object, DWORD milliseconds) {
  WaitingForThreadEnd();
  auto thread = std::dynamic_pointer_cast<SimThread>(object);
  if (!thread) Unimplemented("WaitForThread on an object that is no thread");
  return thread->Wait(milliseconds) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

}  // namespace sim

extern "C" {

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stackSize, LPTHREAD_START_ROUTINE routine,
                           LPVOID parameter, DWORD flags, LPDWORD threadId) {
  if (attributes || stackSize || flags) sim::Unimplemented("CreateThread with attributes, a stack size or flags");
  if (!routine) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto thread = std::make_shared<SimThread>();
  Start *start = new Start{thread, routine, parameter, nextThreadId.fetch_add(4)};
  if (threadId) *threadId = start->id;
  HANDLE handle = sim::NewHandle(thread);
  ++liveThreads;
  pthread_t made;
  pthread_attr_t detached;
  pthread_attr_init(&detached);
  pthread_attr_setdetachstate(&detached, PTHREAD_CREATE_DETACHED);
  int error = pthread_create(&made, &detached, Run, start);
  pthread_attr_destroy(&detached);
  if (error != 0) {
    --liveThreads;
    delete start;
    CloseHandle(handle);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return handle;
}

DWORD WINAPI GetCurrentThreadId(void) {
  // Threads the simulation did not make (the test's own, miniaudio's) get an id at first use.
  if (currentThreadId == 0) currentThreadId = nextThreadId.fetch_add(4);
  return currentThreadId;
}

BOOL WINAPI GetModuleHandleExW(DWORD flags, LPCWSTR moduleName, HMODULE *module) {
  if (!module) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *module = nullptr;
  if (!(flags & GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS) || (flags & GET_MODULE_HANDLE_EX_FLAG_PIN))
    sim::Unimplemented("GetModuleHandleExW without FROM_ADDRESS, or pinning");
  if (!moduleName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::lock_guard<std::mutex> guard(T().lock);
  // The code under test is linked into the test program: its module is the executable's.
  HMODULE found = GetModuleHandleW(nullptr);
  if (!(flags & GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT)) ++T().references[found];
  *module = found;
  return TRUE;
}

BOOL WINAPI FreeLibrary(HMODULE module) {
  std::lock_guard<std::mutex> guard(T().lock);
  auto it = T().references.find(module);
  if (it == T().references.end() || it->second == 0) {
    // Only references the simulation handed out can be given back.
    SetLastError(ERROR_MOD_NOT_FOUND);
    return FALSE;
  }
  --it->second;
  return TRUE;
}

VOID WINAPI FreeLibraryAndExitThread(HMODULE module, DWORD exitCode) {
  if (!currentThread) sim::Unimplemented("FreeLibraryAndExitThread on a thread CreateThread did not make");
  FreeLibrary(module);
  Finish(exitCode);
  pthread_exit(nullptr);
}

TEB *NtCurrentTeb(void) {
  threadPeb.LoaderLock = &loaderLock;
  threadTeb.ProcessEnvironmentBlock = &threadPeb;
  return &threadTeb;
}

}  // extern "C"
