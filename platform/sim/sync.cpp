// Events and the thread pool's waits. Each registered wait gets a thread of its own, which is
// what a caller sees of the pool: its callback runs on some other thread, once per signal, until
// the wait is unregistered.
#include "sim/sync.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "sim/machine.h"

namespace {

struct Event : sim::KernelObject {
  const char *Kind() const override { return "event"; }
  std::mutex lock;
  std::condition_variable changed;
  bool manualReset = false;
  bool signaled = false;

  void Set() {
    std::lock_guard<std::mutex> guard(lock);
    signaled = true;
    changed.notify_all();
  }
  // True when the event was (and, for an auto-reset event, no longer is) signalled.
  bool Wait(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> guard(lock);
    if (!changed.wait_for(guard, limit, [this] { return signaled; })) return false;
    if (!manualReset) signaled = false;
    return true;
  }
};

// A registered wait. Its thread holds it too, so it lives until both are done with it.
struct PoolWait : sim::KernelObject {
  const char *Kind() const override { return "thread-pool wait"; }
  std::shared_ptr<Event> event;
  WAITORTIMERCALLBACK callback = nullptr;
  PVOID context = nullptr;
  bool once = false;
  std::atomic<bool> cancelled{false};
  std::thread thread;
  std::thread::id threadId;

  ~PoolWait() override {
    // The last reference may be the wait's own thread, on its way out.
    if (!thread.joinable()) return;
    if (thread.get_id() == std::this_thread::get_id())
      thread.detach();
    else
      thread.join();
  }

  static void Run(std::shared_ptr<PoolWait> self) {
    while (!self->cancelled) {
      // The event is polled, so that a cancelled wait ends without being signalled.
      if (!self->event->Wait(std::chrono::milliseconds(5))) continue;
      if (self->cancelled) break;
      self->callback(self->context, FALSE);
      if (self->once) break;
    }
  }
};

std::shared_ptr<Event> AsEvent(const std::shared_ptr<sim::KernelObject> &object) {
  return std::dynamic_pointer_cast<Event>(object);
}

}  // namespace

namespace sim {

std::shared_ptr<KernelObject> LookupEvent(HANDLE handle) { return LookupHandleAs<Event>(handle); }

void SignalEvent(const std::shared_ptr<KernelObject> &event) {
  if (auto e = AsEvent(event)) e->Set();
}

DWORD WaitForEvent(const std::shared_ptr<KernelObject> &event, DWORD milliseconds) {
  auto e = AsEvent(event);
  if (!e) Unimplemented("WaitForEvent on an object that is no event");
  auto limit = milliseconds == INFINITE ? std::chrono::milliseconds(24LL * 3600 * 1000)
                                        : std::chrono::milliseconds(milliseconds);
  return e->Wait(limit) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

}  // namespace sim

extern "C" {

HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCWSTR name) {
  if (name) sim::Unimplemented("CreateEventW with a name");
  auto event = std::make_shared<Event>();
  event->manualReset = manualReset != FALSE;
  event->signaled = initialState != FALSE;
  return sim::NewHandle(event);
}

BOOL WINAPI SetEvent(HANDLE handle) {
  auto event = sim::LookupHandleAs<Event>(handle);
  if (!event) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  event->Set();
  return TRUE;
}

BOOL WINAPI ResetEvent(HANDLE handle) {
  auto event = sim::LookupHandleAs<Event>(handle);
  if (!event) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  std::lock_guard<std::mutex> guard(event->lock);
  event->signaled = false;
  return TRUE;
}

BOOL WINAPI RegisterWaitForSingleObject(PHANDLE newWaitObject, HANDLE object, WAITORTIMERCALLBACK callback,
                                        PVOID context, ULONG milliseconds, ULONG flags) {
  if (milliseconds != INFINITE) sim::Unimplemented("RegisterWaitForSingleObject with a time-out");
  if (flags & ~static_cast<ULONG>(WT_EXECUTEONLYONCE)) sim::Unimplemented("RegisterWaitForSingleObject flags");
  auto event = sim::LookupHandleAs<Event>(object);
  if (!newWaitObject || !callback || !event) {
    if (object && !sim::LookupHandle(object)) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    if (!event && newWaitObject && callback) sim::Unimplemented("RegisterWaitForSingleObject on no event");
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  auto wait = std::make_shared<PoolWait>();
  wait->event = event;
  wait->callback = callback;
  wait->context = context;
  wait->once = (flags & WT_EXECUTEONLYONCE) != 0;
  wait->thread = std::thread(PoolWait::Run, wait);
  wait->threadId = wait->thread.get_id();
  // The wait handle sits in the handle table, so that a wait never unregistered shows as a leak.
  *newWaitObject = sim::NewHandle(wait);
  return TRUE;
}

BOOL WINAPI UnregisterWaitEx(HANDLE waitHandle, HANDLE completionEvent) {
  auto wait = sim::LookupHandleAs<PoolWait>(waitHandle);
  if (!wait) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  bool blocking = completionEvent == INVALID_HANDLE_VALUE;
  if (completionEvent && !blocking) sim::Unimplemented("UnregisterWaitEx with a completion event");
  // Windows would wait forever for the callback that asks.
  if (blocking && std::this_thread::get_id() == wait->threadId)
    sim::Unimplemented("UnregisterWaitEx(INVALID_HANDLE_VALUE) from inside the wait's own callback");
  wait->cancelled = true;
  // Straight out of the table: a wait handle is not closed with CloseHandle.
  CloseHandle(waitHandle);
  if (blocking) {
    wait->thread.join();
    return TRUE;
  }
  // The callback in progress, if any, ends on its own; its thread keeps the wait alive until then.
  wait->thread.detach();
  return TRUE;
}

}  // extern "C"
