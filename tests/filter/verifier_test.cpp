// Every verifier check of the model fires on a deliberately broken miniature filter, so that a
// check that cannot fire is never mistaken for a driver that passes. Each test breaks one rule,
// expects its check, then repairs the state so that the fixture's own end-of-test checks pass.
#include "kernel_fixture.h"

#include <cstring>

namespace {

const ULONG kMiniTag = 0x696E694D; // "Mini"

NTSTATUS MiniPassDown(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  auto *extension = static_cast<PUMF_DEVICE_EXTENSION>(DeviceObject->DeviceExtension);
  IoSkipCurrentIrpStackLocation(Irp);
  return IoCallDriver(extension->LowerDevice, Irp);
}

NTSTATUS MiniAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT Pdo) {
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status = IoCreateDevice(DriverObject, sizeof(UMF_DEVICE_EXTENSION), nullptr,
                                   FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  if (!NT_SUCCESS(status))
    return status;
  auto *extension = static_cast<PUMF_DEVICE_EXTENSION>(device->DeviceExtension);
  extension->Self = device;
  IoInitializeRemoveLockEx(&extension->RemoveLock, kMiniTag, 0, 0, sizeof(IO_REMOVE_LOCK));
  extension->LowerDevice = IoAttachDeviceToDeviceStack(device, Pdo);
  device->Flags &= ~static_cast<ULONG>(DO_DEVICE_INITIALIZING);
  return STATUS_SUCCESS;
}

NTSTATUS MiniEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING) {
  for (PDRIVER_DISPATCH &slot : DriverObject->MajorFunction)
    slot = MiniPassDown;
  DriverObject->DriverExtension->AddDevice = MiniAddDevice;
  return STATUS_SUCCESS;
}

PUMF_DEVICE_EXTENSION Extension(PDEVICE_OBJECT device) {
  return static_cast<PUMF_DEVICE_EXTENSION>(device->DeviceExtension);
}

class VerifierTest : public KernelTest {
protected:
  void SetUp() override {
    KernelTest::SetUp();
    driver = km::LoadDriver(MiniEntry, nullptr);
    ASSERT_EQ(km::AddDevice(driver, bus->Pdo()), STATUS_SUCCESS);
    mini = bus->Pdo()->AttachedDevice;
    ASSERT_NE(mini, nullptr);
  }

  NTSTATUS Send(UCHAR major, UCHAR minor, PIRP *sent = nullptr) {
    PIRP irp = km::NewIrp(mini, major, minor);
    if (sent != nullptr)
      *sent = irp;
    return IoCallDriver(mini, irp);
  }

  PDRIVER_OBJECT driver = nullptr;
  PDEVICE_OBJECT mini = nullptr;
};

// ---------------------------------------------------------------- IRP completion

NTSTATUS CompletesAfterPassingDown(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  NTSTATUS status = MiniPassDown(DeviceObject, Irp);
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return status;
}

TEST_F(VerifierTest, IrpCompletedTwice) {
  driver->MajorFunction[IRP_MJ_READ] = CompletesAfterPassingDown;
  Send(IRP_MJ_READ, 0);
  ExpectViolation("IrpCompletedTwice");
}

NTSTATUS ForgetsTheRequest(PDEVICE_OBJECT, PIRP Irp) {
  IoMarkIrpPending(Irp);
  return STATUS_PENDING;
}

TEST_F(VerifierTest, IrpNeverCompleted) {
  driver->MajorFunction[IRP_MJ_READ] = ForgetsTheRequest;
  PIRP irp = nullptr;
  Send(IRP_MJ_READ, 0, &irp);
  km::FinishChecks();
  ExpectViolation("IrpNeverCompleted");
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS TakeBack(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_MORE_PROCESSING_REQUIRED; }

NTSTATUS TakesBackAndForgets(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(Irp, TakeBack, nullptr, TRUE, TRUE, TRUE);
  return IoCallDriver(Extension(DeviceObject)->LowerDevice, Irp);
}

TEST_F(VerifierTest, MoreProcessingRequiredAndNeverCompleted) {
  driver->MajorFunction[IRP_MJ_WRITE] = TakesBackAndForgets;
  PIRP irp = nullptr;
  Send(IRP_MJ_WRITE, 0, &irp);
  EXPECT_TRUE(km::Irp(irp).heldForMoreProcessing);
  km::FinishChecks();
  ExpectViolation("MoreProcessingNeverCompleted");
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

// ---------------------------------------------------------------- IRPs after completion

TEST_F(VerifierTest, BuiltIrpIsFreedWhenItCompletes) {
  PDEVICE_OBJECT lower = Extension(mini)->LowerDevice;
  KEVENT done;
  IO_STATUS_BLOCK ioStatus{};
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  PIRP request = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, lower, nullptr, 0,
                                               nullptr, 0, TRUE, &done, &ioStatus);
  EXPECT_EQ(IoCallDriver(lower, request), STATUS_SUCCESS);
  EXPECT_TRUE(km::Irp(request).freed);
  EXPECT_EQ(KeReadStateEvent(&done), 1) << "the sender learns of the end through its event";

  PIRP read = nullptr;
  Send(IRP_MJ_READ, 0, &read);
  EXPECT_TRUE(km::Irp(read).freed) << "an allocated IRP completed to the top is freed as well";
}

#if defined(__SANITIZE_ADDRESS__)
#define UMF_TESTS_HAVE_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define UMF_TESTS_HAVE_ASAN 1
#endif
#endif

// Sends a request it built and, once it has completed, reads the status from the IRP rather than
// from its status block, and then its stack location: the IRP is gone by then.
NTSTATUS lateStatus;

NTSTATUS ReadsTheBuiltIrpAfterCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_OBJECT lower = Extension(DeviceObject)->LowerDevice;
  KEVENT done;
  IO_STATUS_BLOCK ioStatus;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  PIRP request = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, lower, nullptr, 0,
                                               nullptr, 0, TRUE, &done, &ioStatus);
  if (IoCallDriver(lower, request) == STATUS_PENDING)
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  lateStatus = *static_cast<volatile NTSTATUS *>(&request->IoStatus.Status);
  IoGetNextIrpStackLocation(request)->Parameters.Others.Argument1 = nullptr;
  return MiniPassDown(DeviceObject, Irp);
}

#ifdef UMF_TESTS_HAVE_ASAN
TEST_F(VerifierTest, ReadingABuiltIrpAfterItsCompletionIsAUseAfterFree) {
  // The model's bus threads are not running yet, but gtest cannot know: re-run in a fresh process.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  driver->MajorFunction[IRP_MJ_READ] = ReadsTheBuiltIrpAfterCompletion;
  EXPECT_DEATH(Send(IRP_MJ_READ, 0), "heap-use-after-free");
}
#else
// Completes a request and then returns the status it reads back from it.
NTSTATUS ReturnsTheStatusOfTheIrpItCompleted(PDEVICE_OBJECT, PIRP Irp) {
  Irp->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return Irp->IoStatus.Status;
}

// Without the address sanitizer the model keeps a completed IRP's bytes poisoned, so a late read
// finds the pattern, the stack-location helpers report it, and so does a status read back from it.
TEST_F(VerifierTest, ReadingAnIrpAfterItsCompletionFindsItPoisoned) {
  driver->MajorFunction[IRP_MJ_READ] = ReadsTheBuiltIrpAfterCompletion;
  Send(IRP_MJ_READ, 0);
  EXPECT_EQ(lateStatus, km::kFreedIrpStatus);
  ExpectViolation("IrpUsedAfterCompletion");

  driver->MajorFunction[IRP_MJ_WRITE] = ReturnsTheStatusOfTheIrpItCompleted;
  EXPECT_EQ(Send(IRP_MJ_WRITE, 0), km::kFreedIrpStatus);
  ExpectViolation("IrpUsedAfterCompletion");
}
#endif

NTSTATUS SignalAndTakeBack(PDEVICE_OBJECT, PIRP, PVOID Context) {
  KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Hands a block down in the lower driver's location and, once the request is back, looks for it
// there to free it; but completion has cleared that location.
NTSTATUS FreesFromTheLowerLocation(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  void *block = ExAllocatePoolWithTag(NonPagedPoolNx, 16, kMiniTag);
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoGetNextIrpStackLocation(Irp)->Parameters.Others.Argument4 = block;
  IoSetCompletionRoutine(Irp, SignalAndTakeBack, &done, TRUE, TRUE, TRUE);
  if (IoCallDriver(Extension(DeviceObject)->LowerDevice, Irp) == STATUS_PENDING)
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  PVOID kept = IoGetNextIrpStackLocation(Irp)->Parameters.Others.Argument4;
  if (kept != nullptr)
    ExFreePoolWithTag(kept, kMiniTag);
  NTSTATUS status = Irp->IoStatus.Status;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return status;
}

TEST_F(VerifierTest, StackLocationReadAfterItsRequestCompleted) {
  driver->MajorFunction[IRP_MJ_WRITE] = FreesFromTheLowerLocation;
  Send(IRP_MJ_WRITE, 0);
  km::FinishChecks();
  ExpectViolation("PoolLeaked");
  for (const km::PoolBlock &block : km::OutstandingPool())
    ExFreePoolWithTag(block.address, block.tag);
}

NTSTATUS ReturnsPendingUnmarked(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoCallDriver(Extension(DeviceObject)->LowerDevice, Irp);
  return STATUS_PENDING;
}

TEST_F(VerifierTest, PendingReturnedWithoutIoMarkIrpPending) {
  driver->MajorFunction[IRP_MJ_READ] = ReturnsPendingUnmarked;
  Send(IRP_MJ_READ, 0);
  ExpectViolation("PendingNotMarked");
}

// ---------------------------------------------------------------- waits and IRQL

// The start handler as first drafted: the vendor request sent, and waited for, from the start
// request's completion routine, which a lower driver may call at DISPATCH_LEVEL.
NTSTATUS SendsFromCompletion(PDEVICE_OBJECT DeviceObject, PIRP, PVOID Context) {
  UmfSendStartVendorRequest(Extension(DeviceObject));
  KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS StartsWithRequestInCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(Irp, SendsFromCompletion, &done, TRUE, TRUE, TRUE);
  NTSTATUS status = IoCallDriver(Extension(DeviceObject)->LowerDevice, Irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    status = Irp->IoStatus.Status;
  }
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return status;
}

TEST_F(VerifierTest, WaitAtDispatchLevel) {
  driver->MajorFunction[IRP_MJ_PNP] = StartsWithRequestInCompletion;
  bus->script().start = km::Answer::CompleteLater; // completed from a DPC-like context
  bus->script().urb = km::Answer::CompleteLater;
  EXPECT_EQ(Send(IRP_MJ_PNP, IRP_MN_START_DEVICE), STATUS_SUCCESS);
  EXPECT_TRUE(km::HasViolation("IrqlNotLessOrEqual")) << "IoBuildDeviceIoControlRequest";
  ExpectViolation("WaitAtDispatchLevel");
}

// ---------------------------------------------------------------- remove locks

NTSTATUS AcquiresAndKeeps(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  IoAcquireRemoveLockEx(&Extension(DeviceObject)->RemoveLock, Irp, "", 1, sizeof(IO_REMOVE_LOCK));
  return MiniPassDown(DeviceObject, Irp);
}

TEST_F(VerifierTest, RemoveLockAcquiredAndNeverReleased) {
  driver->MajorFunction[IRP_MJ_READ] = AcquiresAndKeeps;
  PIRP irp = nullptr;
  Send(IRP_MJ_READ, 0, &irp);
  km::FinishChecks();
  ExpectViolation("RemoveLockUnbalanced");
  IoReleaseRemoveLockEx(&Extension(mini)->RemoveLock, irp, sizeof(IO_REMOVE_LOCK));
}

NTSTATUS ReleasesWithoutAcquiring(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  NTSTATUS status = MiniPassDown(DeviceObject, Irp);
  IoReleaseRemoveLockEx(&Extension(DeviceObject)->RemoveLock, Irp, sizeof(IO_REMOVE_LOCK));
  return status;
}

TEST_F(VerifierTest, RemoveLockReleasedWithoutAcquisition) {
  driver->MajorFunction[IRP_MJ_READ] = ReleasesWithoutAcquiring;
  Send(IRP_MJ_READ, 0);
  ExpectViolation("RemoveLockUnbalanced");
}

// Takes the lock again once removal is over and ignores the answer: it releases a hold it never
// got. Windows answers STATUS_DELETE_PENDING; the fault is going on regardless.
NTSTATUS AcquiresAgainAfterRemoval(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PUMF_DEVICE_EXTENSION extension = Extension(DeviceObject);
  PDEVICE_OBJECT lower = extension->LowerDevice;
  IoAcquireRemoveLockEx(&extension->RemoveLock, Irp, "", 1, sizeof(IO_REMOVE_LOCK));
  IoSkipCurrentIrpStackLocation(Irp);
  NTSTATUS status = IoCallDriver(lower, Irp);
  IoReleaseRemoveLockAndWaitEx(&extension->RemoveLock, Irp, sizeof(IO_REMOVE_LOCK));
  IoDetachDevice(lower);
  IoDeleteDevice(DeviceObject);
  IoAcquireRemoveLockEx(&extension->RemoveLock, Irp, "", 1, sizeof(IO_REMOVE_LOCK));
  IoReleaseRemoveLockEx(&extension->RemoveLock, Irp, sizeof(IO_REMOVE_LOCK));
  return status;
}

TEST_F(VerifierTest, RemoveLockUsedAsHeldAfterReleaseAndWaitRefusedIt) {
  driver->MajorFunction[IRP_MJ_PNP] = AcquiresAgainAfterRemoval;
  Send(IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE);
  ExpectViolation("RemoveLockUnbalanced");
}

// ---------------------------------------------------------------- pool

NTSTATUS LeaksPool(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  ExAllocatePoolWithTag(NonPagedPoolNx, 32, kMiniTag);
  return MiniPassDown(DeviceObject, Irp);
}

TEST_F(VerifierTest, PoolLeaked) {
  driver->MajorFunction[IRP_MJ_READ] = LeaksPool;
  Send(IRP_MJ_READ, 0);
  km::FinishChecks();
  ExpectViolation("PoolLeaked");
  for (const km::PoolBlock &block : km::OutstandingPool())
    ExFreePoolWithTag(block.address, block.tag);
}

NTSTATUS FreesWithAnotherTag(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPoolNx, 32, kMiniTag), UMF_POOL_TAG);
  return MiniPassDown(DeviceObject, Irp);
}

TEST_F(VerifierTest, PoolFreedWithAnotherTag) {
  driver->MajorFunction[IRP_MJ_READ] = FreesWithAnotherTag;
  Send(IRP_MJ_READ, 0);
  ExpectViolation("PoolTagMismatch");
}

// ---------------------------------------------------------------- detached and deleted devices

NTSTATUS DeletesBeforePassingDown(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_OBJECT lower = Extension(DeviceObject)->LowerDevice;
  IoDetachDevice(lower);
  IoDeleteDevice(DeviceObject);
  IoSkipCurrentIrpStackLocation(Irp);
  return IoCallDriver(lower, Irp);
}

TEST_F(VerifierTest, RequestPassedOnByADetachedDevice) {
  driver->MajorFunction[IRP_MJ_PNP] = DeletesBeforePassingDown;
  Send(IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE);
  ExpectViolation("SentByDetachedDevice");
}

TEST_F(VerifierTest, RequestSentToADeletedDevice) {
  // The bus has deleted its PDO; a filter that still holds the pointer passes a read to it.
  IoDeleteDevice(bus->Pdo());
  Send(IRP_MJ_READ, 0);
  ExpectViolation("SentToDeletedDevice");
}

// ---------------------------------------------------------------- power

NTSTATUS FailsPowerWithoutStartingTheNext(PDEVICE_OBJECT, PIRP Irp) {
  Irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return STATUS_UNSUCCESSFUL;
}

TEST_F(VerifierTest, PowerIrpCompletedWithoutStartingTheNext) {
  driver->MajorFunction[IRP_MJ_POWER] = FailsPowerWithoutStartingTheNext;
  Send(IRP_MJ_POWER, IRP_MN_QUERY_POWER);
  ExpectViolation("PowerIrpWithoutStartNext");
}

TEST_F(VerifierTest, PowerIrpPassedOnWithoutStartingTheNext) {
  // MiniPassDown treats power like any request: no PoStartNextPowerIrp.
  Send(IRP_MJ_POWER, IRP_MN_SET_POWER);
  ExpectViolation("PowerIrpWithoutStartNext");
}

} // namespace
