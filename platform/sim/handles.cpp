#include "sim/handles.h"

#include <map>
#include <mutex>

#include "sim/machine.h"

namespace {

struct Entry {
  std::shared_ptr<sim::KernelObject> object;
  DWORD flags;
};

struct Table {
  std::mutex lock;
  std::map<uintptr_t, Entry> entries;
  uintptr_t next = 0x100;
};

Table &Handles() {
  static Table table;
  return table;
}

void ResetHandles() {
  // Objects are released outside the lock: their destructors may close further handles.
  std::map<uintptr_t, Entry> old;
  {
    std::lock_guard<std::mutex> guard(Handles().lock);
    old.swap(Handles().entries);
    Handles().next = 0x100;
  }
}
sim::ResetRegistration registration(ResetHandles);

}  // namespace

namespace sim {

HANDLE NewHandle(std::shared_ptr<KernelObject> object, DWORD flags) {
  auto &t = Handles();
  std::lock_guard<std::mutex> guard(t.lock);
  uintptr_t value = t.next;
  t.next += 4;
  t.entries[value] = Entry{std::move(object), flags};
  return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KernelObject> LookupHandle(HANDLE handle) {
  auto &t = Handles();
  std::lock_guard<std::mutex> guard(t.lock);
  auto it = t.entries.find(reinterpret_cast<uintptr_t>(handle));
  return it == t.entries.end() ? nullptr : it->second.object;
}

DWORD HandleFlags(HANDLE handle) {
  auto &t = Handles();
  std::lock_guard<std::mutex> guard(t.lock);
  auto it = t.entries.find(reinterpret_cast<uintptr_t>(handle));
  return it == t.entries.end() ? 0 : it->second.flags;
}

int OpenHandles() {
  std::lock_guard<std::mutex> guard(Handles().lock);
  return static_cast<int>(Handles().entries.size());
}

std::vector<std::string> OpenHandleKinds() {
  std::lock_guard<std::mutex> guard(Handles().lock);
  std::vector<std::string> kinds;
  for (auto &entry : Handles().entries) kinds.push_back(entry.second.object->Kind());
  return kinds;
}

}  // namespace sim

extern "C" {

BOOL WINAPI CloseHandle(HANDLE object) {
  std::shared_ptr<sim::KernelObject> closing;
  {
    auto &t = Handles();
    std::lock_guard<std::mutex> guard(t.lock);
    auto it = t.entries.find(reinterpret_cast<uintptr_t>(object));
    if (it == t.entries.end()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    closing = it->second.object;
    t.entries.erase(it);
  }
  // The object goes when its last handle (or user) does, outside the table's lock.
  closing.reset();
  return TRUE;
}

BOOL WINAPI SetHandleInformation(HANDLE object, DWORD mask, DWORD flags) {
  auto &t = Handles();
  std::lock_guard<std::mutex> guard(t.lock);
  auto it = t.entries.find(reinterpret_cast<uintptr_t>(object));
  if (it == t.entries.end()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  it->second.flags = (it->second.flags & ~mask) | (flags & mask);
  return TRUE;
}

BOOL WINAPI GetHandleInformation(HANDLE object, LPDWORD flags) {
  auto &t = Handles();
  std::lock_guard<std::mutex> guard(t.lock);
  auto it = t.entries.find(reinterpret_cast<uintptr_t>(object));
  if (it == t.entries.end() || !flags) {
    SetLastError(it == t.entries.end() ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *flags = it->second.flags;
  return TRUE;
}

}  // extern "C"
