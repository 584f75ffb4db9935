// Test-facing side of the I/O manager model behind <wdm.h>.
//
// One model per process, reset between tests. It checks the driver as Driver Verifier would and
// records every violation; a test fixture asserts that list empty (or, for the deliberately
// broken drivers of the verifier tests, that the expected check fired).
#pragma once

#include <wdm.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace km {

// ---------------------------------------------------------------- lifetime and verifier

// Frees every object of the previous test and clears records, injected faults and violations.
void Reset();

// End-of-test checks: IRPs sent and never completed, IRPs left with a completion routine's
// STATUS_MORE_PROCESSING_REQUIRED, pool not freed, remove locks still held.
void FinishChecks();

// Every violation so far, each "Check: detail"; the list is cleared.
std::vector<std::string> TakeViolations();

// True if some violation so far names the check (without clearing the list).
bool HasViolation(const std::string &check);

// Monotonic sequence number shared by every record, to assert the order of events.
uint64_t NextSequence();

// Polls pred until it holds or the time-out passes.
bool WaitUntil(const std::function<bool()> &pred,
               std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

// ---------------------------------------------------------------- IRQL

// Raises the calling thread's IRQL for the scope, as a DPC or spin lock would.
class IrqlScope {
public:
  explicit IrqlScope(KIRQL irql);
  ~IrqlScope();
  IrqlScope(const IrqlScope &) = delete;
  IrqlScope &operator=(const IrqlScope &) = delete;

private:
  KIRQL old_;
};

// ---------------------------------------------------------------- fault injection

// The next `count` calls fail: pool allocations (of any tag when tag is 0), IoCreateDevice (with
// the given status), IoAttachDeviceToDeviceStack (NULL) and IoBuildDeviceIoControlRequest (NULL).
void FailPoolAllocations(int count, ULONG tag = 0);
void FailCreateDevice(int count, NTSTATUS status);
void FailAttachDevice(int count);
void FailBuildIoControlRequest(int count);

// ---------------------------------------------------------------- pool

struct PoolBlock {
  void *address;
  POOL_TYPE type;
  size_t size;
  ULONG tag;
};

struct PoolEvent {
  uint64_t sequence;
  bool allocation; // false: free
  PoolBlock block;
};

std::vector<PoolBlock> OutstandingPool();
std::vector<PoolEvent> PoolHistory();

// ---------------------------------------------------------------- drivers and devices

// Loads a driver as the I/O manager does: every MajorFunction slot holds the handler that fails
// requests with STATUS_INVALID_DEVICE_REQUEST, then the entry point runs at PASSIVE_LEVEL.
PDRIVER_OBJECT LoadDriver(PDRIVER_INITIALIZE entry, NTSTATUS *status);
PDRIVER_DISPATCH InvalidDeviceRequestHandler();

// Calls the driver's AddDevice at PASSIVE_LEVEL as the PnP manager does, and checks that a device
// it attached has left DO_DEVICE_INITIALIZING.
NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo);

struct DeviceInfo {
  bool named;
  bool exclusive;
  bool deleted;
  bool attached;  // currently attached to a lower device
  bool detached;  // was attached and has been detached
  PDEVICE_OBJECT lower;
};
DeviceInfo Device(PDEVICE_OBJECT device);
std::vector<PDEVICE_OBJECT> DevicesOf(PDRIVER_OBJECT driver); // created by it, deleted or not
PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device);

// ---------------------------------------------------------------- IRPs

// Every byte of an IRP once it has completed to the top or been freed; a status read from one is
// kFreedIrpStatus. Natively the poisoned IRP stays allocated until Reset, so a late read sees the
// pattern, not stale values (under the address sanitizer it is freed and the read is reported).
constexpr unsigned char kFreedIrpByte = 0xDB;
constexpr NTSTATUS kFreedIrpStatus = static_cast<NTSTATUS>(0xDBDBDBDBu);

// An IRP as the PnP manager or an upper driver sends it to the top of a stack: enough locations
// for the stack plus `extra`, the next location filled with the codes. With extra > 0 the caller's
// own location (the last) is made current so the caller can set a completion routine.
PIRP NewIrp(PDEVICE_OBJECT top, UCHAR major, UCHAR minor, int extra = 0);

struct IrpInfo {
  bool sent;
  bool completed;
  bool heldForMoreProcessing;
  int completions;
  uint64_t completedSequence;
  NTSTATUS finalStatus;
  ULONG_PTR finalInformation;
  size_t poolBlocksAtCompletion;
  bool freed; // its memory is gone: completed to the top, or IoFreeIrp
};
// What the model knows of the IRP at this address (the latest one, if the address was reused).
IrpInfo Irp(PIRP irp);
bool WaitCompleted(PIRP irp, std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

// ---------------------------------------------------------------- remove locks

struct RemoveLockInfo {
  bool initialized;
  ULONG allocateTag;
  size_t holders;
  bool waitBegun;    // IoReleaseRemoveLockAndWaitEx has been entered
  bool waitReturned; // and has returned
};
RemoveLockInfo RemoveLock(PIO_REMOVE_LOCK lock);

} // namespace km
