// Shared state of the I/O manager model. One lock guards it all: the model is about behaviour,
// not speed, and a single lock keeps its own bookkeeping free of ordering questions. The lock is
// never held while driver code runs.
#pragma once

#include <wdm.h>

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "kmodel.h"

namespace km::detail {

struct IrpRecord {
  // The IRP itself. Given up when the IRP completes (or is freed), as Windows frees it: its bytes
  // are poisoned first, as a checked system poisons freed pool. Under the address sanitizer it is
  // then freed, so a driver reading it afterwards is a use-after-free the sanitizer reports;
  // elsewhere reading freed memory proves nothing, so the poisoned bytes stay allocated until the
  // next Reset and a late read finds the pattern, not stale values that happen to be right. The
  // record stays for the tests' questions until the address is used for another IRP.
  std::unique_ptr<unsigned char[]> storage;
  size_t size = 0;
  uint64_t serial = 0; // tells this IRP from a later one at the same address
  // Control of each stack location (by CurrentLocation number) as completion found it before it
  // cleared the location: whether a dispatch routine had marked the IRP pending.
  std::map<int, UCHAR> controlAtCompletion;
  bool sent = false;
  bool completed = false;
  bool heldForMoreProcessing = false;
  bool built = false; // by IoBuildDeviceIoControlRequest: the I/O manager signals and frees it
  bool freed = false;
  int completions = 0;
  // Bumped whenever the IRP is sent or completed again: a completion routine's
  // STATUS_MORE_PROCESSING_REQUIRED only holds the IRP if its owner has not moved on meanwhile
  // (the routine may wake the owner before it returns).
  uint64_t generation = 0;
  uint64_t completedSequence = 0;
  NTSTATUS finalStatus = 0;
  ULONG_PTR finalInformation = 0;
  size_t poolBlocksAtCompletion = 0;
  std::set<PDEVICE_OBJECT> nextPowerStartedBy;
};

struct DeviceRecord {
  std::unique_ptr<unsigned char[]> storage;
  size_t extensionSize = 0;
  bool named = false;
  bool exclusive = false;
  bool deleted = false;
  bool detached = false;
  PDEVICE_OBJECT lower = nullptr;
};

struct DriverRecord {
  std::unique_ptr<DRIVER_OBJECT> object;
  std::unique_ptr<DRIVER_EXTENSION> extension;
};

struct LockRecord {
  bool initialized = false;
  ULONG allocateTag = 0;
  std::multiset<void *> holders;
  bool waitBegun = false;
  bool waitReturned = false;
};

struct Faults {
  int pool = 0;
  ULONG poolTag = 0;
  int createDevice = 0;
  NTSTATUS createDeviceStatus = STATUS_INSUFFICIENT_RESOURCES;
  int attach = 0;
  int buildIoctl = 0;
};

struct State {
  std::mutex mutex;
  std::condition_variable changed; // any event set, lock released or IRP completed
  std::map<PIRP, IrpRecord> irps;
  std::map<PDEVICE_OBJECT, DeviceRecord> devices;
  std::map<PDRIVER_OBJECT, DriverRecord> drivers;
  std::map<PIO_REMOVE_LOCK, LockRecord> locks;
  std::map<void *, PoolBlock> pool;
  std::vector<PoolEvent> poolHistory;
  Faults faults;
};

State &Model();

// Records a violation of the named check. Safe with or without the model lock held.
void Violation(const std::string &check, const std::string &detail);

std::string Hex(uint64_t value);

// The device objects whose routines the calling thread is running, innermost last: the sender of
// any request the thread passes on.
std::vector<PDEVICE_OBJECT> &RunningDevices();
PDEVICE_OBJECT RunningDevice();

struct RunningAs {
  explicit RunningAs(PDEVICE_OBJECT device) { RunningDevices().push_back(device); }
  ~RunningAs() { RunningDevices().pop_back(); }
  RunningAs(const RunningAs &) = delete;
  RunningAs &operator=(const RunningAs &) = delete;
};

// Infinite kernel waits are bounded here so a deadlocked test fails instead of hanging.
constexpr std::chrono::seconds kDeadlockGuard{10};

void FreeAllPool();

} // namespace km::detail
