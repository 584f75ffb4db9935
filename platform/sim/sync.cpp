// Events, mutexes and the thread pool's waits. Each registered wait gets a thread of its own, which is
// what a caller sees of the pool: its callback runs on some other thread, once per signal, until
// the wait is unregistered.
#include "sim/sync.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
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

// Owned by one thread at a time, as often as that thread waited for it. A thread that ends while
// owning it is not modelled (Windows would hand the next waiter WAIT_ABANDONED).
struct Mutex : sim::KernelObject {
  const char *Kind() const override { return "mutex"; }
  std::mutex lock;
  std::condition_variable released;
  std::thread::id owner;
  unsigned count = 0;

  bool Take(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> guard(lock);
    std::thread::id self = std::this_thread::get_id();
    if (!released.wait_for(guard, limit, [&] { return count == 0 || owner == self; })) return false;
    owner = self;
    ++count;
    return true;
  }
  bool Give() {
    std::lock_guard<std::mutex> guard(lock);
    if (count == 0 || owner != std::this_thread::get_id()) return false;
    if (--count == 0) {
      owner = std::thread::id();
      released.notify_all();
    }
    return true;
  }
};

// Names are case-sensitive, as the object manager's are; a name lives while a handle does.
struct NamedMutexTable {
  std::mutex lock;
  std::map<std::wstring, std::weak_ptr<Mutex>> byName;
};
NamedMutexTable &Names() {
  static NamedMutexTable table;
  return table;
}
void ResetNames() {
  std::lock_guard<std::mutex> guard(Names().lock);
  Names().byName.clear();
}
sim::ResetRegistration registration(ResetNames);

std::chrono::milliseconds WaitLimit(DWORD milliseconds) {
  return milliseconds == INFINITE ? std::chrono::milliseconds(24LL * 3600 * 1000) : std::chrono::milliseconds(milliseconds);
}

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
  return e->Wait(WaitLimit(milliseconds)) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

std::shared_ptr<KernelObject> LookupMutex(HANDLE handle) { return LookupHandleAs<Mutex>(handle); }

DWORD WaitForMutex(const std::shared_ptr<KernelObject> &mutex, DWORD milliseconds) {
  auto m = std::dynamic_pointer_cast<Mutex>(mutex);
  if (!m) Unimplemented("WaitForMutex on an object that is no mutex");
  return m->Take(WaitLimit(milliseconds)) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

int NamedMutexes() {
  std::lock_guard<std::mutex> guard(Names().lock);
  int live = 0;
  for (auto &entry : Names().byName) live += entry.second.expired() ? 0 : 1;
  return live;
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

HANDLE WINAPI CreateMutexW(LPSECURITY_ATTRIBUTES attributes, BOOL initialOwner, LPCWSTR name) {
  if (attributes) sim::Unimplemented("CreateMutexW with security attributes");
  std::shared_ptr<Mutex> mutex;
  bool existed = false;
  if (name && *name) {
    std::lock_guard<std::mutex> guard(Names().lock);
    std::weak_ptr<Mutex> &slot = Names().byName[name];
    mutex = slot.lock();
    existed = mutex != nullptr;
    if (!mutex) slot = mutex = std::make_shared<Mutex>();
  } else {
    mutex = std::make_shared<Mutex>();
  }
  // Asking for ownership of an existing mutex does not take it.
  if (initialOwner && !existed) mutex->Take(std::chrono::milliseconds(0));
  HANDLE handle = sim::NewHandle(mutex);
  SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return handle;
}

BOOL WINAPI ReleaseMutex(HANDLE handle) {
  auto mutex = sim::LookupHandleAs<Mutex>(handle);
  if (!mutex) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!mutex->Give()) {
    SetLastError(ERROR_NOT_OWNER);
    return FALSE;
  }
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
