// The processes of the simulated machine as other processes see them: an id and a creation time
// each, the process under test among them. Only what OpenProcess and GetProcessTimes show is
// modelled; these processes run nothing (the children of CreateProcessW are another matter, see
// process.cpp).
#include <map>
#include <memory>
#include <mutex>

#include "process_internal.h"
#include "sim/handles.h"
#include "sim/machine.h"
#include "sim/process.h"

namespace {

// 1 January 2024 in FILETIME units; every start is one second after the one before.
const ULONGLONG kFirstCreation = 133485408000000000ULL;
const ULONGLONG kOneSecond = 10000000ULL;
const DWORD kProcessUnderTest = 4412;
const DWORD kAccessRightsKnown = PROCESS_QUERY_LIMITED_INFORMATION;

struct Life {
  ULONGLONG created;
  bool alive;
};

struct Table {
  std::mutex lock;
  std::map<DWORD, Life> processes;
  DWORD current = kProcessUnderTest;
  DWORD nextId = 9000;
  ULONGLONG clock = kFirstCreation;
};

Table &T() {
  static Table table;
  return table;
}

ULONGLONG StartLocked(Table &t, DWORD id) {
  t.clock += kOneSecond;
  t.processes[id] = Life{t.clock, true};
  return t.clock;
}

void ResetTable() {
  Table &t = T();
  std::lock_guard<std::mutex> guard(t.lock);
  t.processes.clear();
  t.clock = kFirstCreation;
  t.nextId = 9000;
  t.current = kProcessUnderTest;
  StartLocked(t, kProcessUnderTest);
}
sim::ResetRegistration registration(ResetTable);

// An opened process: the life it had when it was opened, which a later start under the same id
// does not change.
struct OpenedProcess : sim::KernelObject {
  const char *Kind() const override { return "process"; }
  DWORD id = 0;
  ULONGLONG created = 0;
  bool Alive() const {
    Table &t = T();
    std::lock_guard<std::mutex> guard(t.lock);
    auto it = t.processes.find(id);
    return it != t.processes.end() && it->second.alive && it->second.created == created;
  }
};

void Split(ULONGLONG time, LPFILETIME out) {
  out->dwLowDateTime = static_cast<DWORD>(time);
  out->dwHighDateTime = static_cast<DWORD>(time >> 32);
}

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

}  // namespace

namespace sim {

DWORD StartOtherProcess(DWORD id) {
  Table &t = T();
  std::lock_guard<std::mutex> guard(t.lock);
  if (id == 0) {
    while (t.processes.count(t.nextId)) t.nextId += 4;
    id = t.nextId;
  }
  auto it = t.processes.find(id);
  if (it != t.processes.end() && it->second.alive) Unimplemented("StartOtherProcess with the id of a live process");
  StartLocked(t, id);
  return id;
}

void EndOtherProcess(DWORD id) {
  Table &t = T();
  std::lock_guard<std::mutex> guard(t.lock);
  auto it = t.processes.find(id);
  if (it == t.processes.end() || !it->second.alive || id == t.current)
    Unimplemented("EndOtherProcess of a process that does not run, or of the process under test");
  it->second.alive = false;
}

void BecomeProcess(DWORD id) {
  Table &t = T();
  std::lock_guard<std::mutex> guard(t.lock);
  auto it = t.processes.find(id);
  if (it == t.processes.end() || !it->second.alive) Unimplemented("BecomeProcess of a process that does not run");
  t.current = id;
}

bool OpenedProcessExitCode(const std::shared_ptr<KernelObject> &object, DWORD *exitCode) {
  auto opened = std::dynamic_pointer_cast<OpenedProcess>(object);
  if (!opened) return false;
  // The simulated processes end without an exit code of their own.
  *exitCode = opened->Alive() ? STILL_ACTIVE : 0;
  return true;
}

}  // namespace sim

extern "C" {

DWORD WINAPI GetCurrentProcessId(void) {
  Table &t = T();
  std::lock_guard<std::mutex> guard(t.lock);
  return t.current;
}

HANDLE WINAPI OpenProcess(DWORD desiredAccess, BOOL inheritHandle, DWORD processId) {
  if (desiredAccess & ~static_cast<DWORD>(kAccessRightsKnown)) sim::Unimplemented("OpenProcess with these rights");
  if (inheritHandle) sim::Unimplemented("OpenProcess with an inheritable handle");
  auto opened = std::make_shared<OpenedProcess>();
  {
    Table &t = T();
    std::lock_guard<std::mutex> guard(t.lock);
    auto it = t.processes.find(processId);
    // Windows answers so for an id that names no running process (and for the idle process, 0).
    if (processId == 0 || it == t.processes.end() || !it->second.alive) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return nullptr;
    }
    opened->id = processId;
    opened->created = it->second.created;
  }
  return sim::NewHandle(opened);
}

BOOL WINAPI GetProcessTimes(HANDLE process, LPFILETIME creationTime, LPFILETIME exitTime, LPFILETIME kernelTime,
                            LPFILETIME userTime) {
  if (!creationTime || !exitTime || !kernelTime || !userTime) return Fail(ERROR_INVALID_PARAMETER);
  ULONGLONG created = 0;
  if (process == GetCurrentProcess()) {
    Table &t = T();
    std::lock_guard<std::mutex> guard(t.lock);
    created = t.processes[t.current].created;
  } else {
    auto opened = sim::LookupHandleAs<OpenedProcess>(process);
    if (!opened) {
      if (sim::LookupHandle(process)) sim::Unimplemented("GetProcessTimes on this kind of handle");
      return Fail(ERROR_INVALID_HANDLE);
    }
    created = opened->created;
  }
  Split(created, creationTime);
  // Not modelled: no process of the machine has run for any time, and the exit time of a
  // process that runs is undefined.
  Split(0, exitTime);
  Split(0, kernelTime);
  Split(0, userTime);
  return TRUE;
}

}  // extern "C"
