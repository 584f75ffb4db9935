// Remove locks with the documented semantics: every acquisition counts; once
// IoReleaseRemoveLockAndWaitEx has begun (and after it has returned), acquisitions fail with
// STATUS_DELETE_PENDING, and it returns when every other holder has released. Holders are
// tracked by tag, so unbalanced releases and holds left at the end are reported.
#include "state.h"

using namespace km::detail;

namespace {

std::string LockName(PIO_REMOVE_LOCK lock) {
  return "remove lock " + Hex(reinterpret_cast<uintptr_t>(lock));
}

bool CheckSize(ULONG size, const char *routine) {
  if (size != sizeof(IO_REMOVE_LOCK)) {
    Violation("RemoveLockSize", std::string(routine) + " given size " + std::to_string(size));
    return false;
  }
  return true;
}

// Returns the record of an initialized lock, reporting use of one that is not.
LockRecord *Initialized(State &model, PIO_REMOVE_LOCK lock, const char *routine) {
  auto found = model.locks.find(lock);
  if (found == model.locks.end() || !found->second.initialized) {
    Violation("RemoveLockNotInitialized", std::string(routine) + " on " + LockName(lock));
    return nullptr;
  }
  return &found->second;
}

} // namespace

extern "C" VOID IoInitializeRemoveLockEx(PIO_REMOVE_LOCK Lock, ULONG AllocateTag,
                                         ULONG MaxLockedMinutes, ULONG HighWatermark,
                                         ULONG RemlockSize) {
  (void)MaxLockedMinutes;
  (void)HighWatermark;
  CheckSize(RemlockSize, "IoInitializeRemoveLockEx");
  State &model = Model();
  std::lock_guard<std::mutex> guard(model.mutex);
  LockRecord &record = model.locks[Lock];
  record = LockRecord{};
  record.initialized = true;
  record.allocateTag = AllocateTag;
  Lock->Common.Removed = FALSE;
  Lock->Common.IoCount = 1; // the bias that release-and-wait drops
  Lock->Common.RemoveEvent.Header.Type = 0;
  Lock->Common.RemoveEvent.Header.SignalState = 0;
}

extern "C" NTSTATUS IoAcquireRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, PCSTR File,
                                          ULONG Line, ULONG RemlockSize) {
  (void)File;
  (void)Line;
  CheckSize(RemlockSize, "IoAcquireRemoveLockEx");
  if (KeGetCurrentIrql() > DISPATCH_LEVEL)
    Violation("IrqlNotLessOrEqual", "IoAcquireRemoveLockEx above DISPATCH_LEVEL");
  State &model = Model();
  std::lock_guard<std::mutex> guard(model.mutex);
  LockRecord *record = Initialized(model, RemoveLock, "IoAcquireRemoveLockEx");
  if (record == nullptr)
    return STATUS_DELETE_PENDING;
  // Also once IoReleaseRemoveLockAndWaitEx has returned: Windows answers every later acquisition
  // so, and a driver that checks the answer is right. One that goes on regardless is caught where
  // it then uses the device or releases what it never held.
  if (RemoveLock->Common.Removed)
    return STATUS_DELETE_PENDING;
  RemoveLock->Common.IoCount++;
  record->holders.insert(Tag);
  return STATUS_SUCCESS;
}

extern "C" VOID IoReleaseRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize) {
  CheckSize(RemlockSize, "IoReleaseRemoveLockEx");
  if (KeGetCurrentIrql() > DISPATCH_LEVEL)
    Violation("IrqlNotLessOrEqual", "IoReleaseRemoveLockEx above DISPATCH_LEVEL");
  State &model = Model();
  std::lock_guard<std::mutex> guard(model.mutex);
  LockRecord *record = Initialized(model, RemoveLock, "IoReleaseRemoveLockEx");
  if (record == nullptr)
    return;
  auto held = record->holders.find(Tag);
  if (held == record->holders.end()) {
    Violation("RemoveLockUnbalanced", "IoReleaseRemoveLockEx on " + LockName(RemoveLock) +
                                          " with tag " + Hex(reinterpret_cast<uintptr_t>(Tag)) +
                                          " that holds no acquisition");
    return;
  }
  record->holders.erase(held);
  RemoveLock->Common.IoCount--;
  model.changed.notify_all();
}

extern "C" VOID IoReleaseRemoveLockAndWaitEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag,
                                             ULONG RemlockSize) {
  CheckSize(RemlockSize, "IoReleaseRemoveLockAndWaitEx");
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
    Violation("WaitAtDispatchLevel", "IoReleaseRemoveLockAndWaitEx at IRQL " +
                                         std::to_string(KeGetCurrentIrql()));
  }
  State &model = Model();
  std::unique_lock<std::mutex> lock(model.mutex);
  LockRecord *record = Initialized(model, RemoveLock, "IoReleaseRemoveLockAndWaitEx");
  if (record == nullptr)
    return;
  if (record->waitBegun) {
    Violation("RemoveLockAfterRemove",
              "IoReleaseRemoveLockAndWaitEx called twice on " + LockName(RemoveLock));
    return;
  }
  auto held = record->holders.find(Tag);
  if (held == record->holders.end()) {
    Violation("RemoveLockUnbalanced", "IoReleaseRemoveLockAndWaitEx on " + LockName(RemoveLock) +
                                          " with tag " + Hex(reinterpret_cast<uintptr_t>(Tag)) +
                                          " that holds no acquisition");
  } else {
    record->holders.erase(held);
    RemoveLock->Common.IoCount--;
  }
  record->waitBegun = true;
  RemoveLock->Common.Removed = TRUE;
  RemoveLock->Common.IoCount--; // the bias
  model.changed.notify_all();

  // The map node is stable while the lock entry exists; Reset cannot run during a test.
  if (!model.changed.wait_for(lock, kDeadlockGuard, [record] { return record->holders.empty(); })) {
    Violation("Deadlock", "IoReleaseRemoveLockAndWaitEx on " + LockName(RemoveLock) +
                              " still waits for " + std::to_string(record->holders.size()) +
                              " holder(s)");
  }
  record->waitReturned = true;
  RemoveLock->Common.RemoveEvent.Header.SignalState = 1;
}

namespace km {

RemoveLockInfo RemoveLock(PIO_REMOVE_LOCK lock) {
  State &model = Model();
  std::lock_guard<std::mutex> guard(model.mutex);
  auto found = model.locks.find(lock);
  if (found == model.locks.end())
    return RemoveLockInfo{false, 0, 0, false, false};
  const LockRecord &record = found->second;
  return RemoveLockInfo{record.initialized, record.allocateTag, record.holders.size(),
                        record.waitBegun, record.waitReturned};
}

} // namespace km
