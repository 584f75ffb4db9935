// The model's own semantics where the filter relies on them: remove locks as documented, and the
// invoke flags of completion routines.
#include "kernel_fixture.h"

#include <gtest/gtest-spi.h>

#include <atomic>
#include <thread>

#include "scoped_thread.h"

namespace {

class RemoveLockModelTest : public KernelTest {
protected:
  IO_REMOVE_LOCK lock{};
  int first = 0;
  int second = 0;
};

TEST_F(RemoveLockModelTest, ReleaseAndWaitWaitsForEveryOtherHolder) {
  IoInitializeRemoveLockEx(&lock, UMF_POOL_TAG, 0, 0, sizeof(lock));
  ASSERT_EQ(IoAcquireRemoveLockEx(&lock, &first, "", 1, sizeof(lock)), STATUS_SUCCESS);
  ASSERT_EQ(IoAcquireRemoveLockEx(&lock, &second, "", 1, sizeof(lock)), STATUS_SUCCESS);

  std::atomic<bool> returned{false};
  ScopedThread remover(
      [&] {
        IoReleaseRemoveLockAndWaitEx(&lock, &first, sizeof(lock));
        returned = true;
      },
      [&] { IoReleaseRemoveLockEx(&lock, &second, sizeof(lock)); });
  ASSERT_TRUE(km::WaitUntil([&] { return km::RemoveLock(&lock).waitBegun; }));
  EXPECT_EQ(IoAcquireRemoveLockEx(&lock, &first, "", 1, sizeof(lock)), STATUS_DELETE_PENDING);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(returned) << "the second holder has not released";

  IoReleaseRemoveLockEx(&lock, &second, sizeof(lock));
  remover.join();
  EXPECT_TRUE(returned);
  EXPECT_TRUE(km::RemoveLock(&lock).waitReturned);
}

TEST_F(RemoveLockModelTest, AcquisitionsAfterReleaseAndWaitReturnedAreRefusedAsOnWindows) {
  IoInitializeRemoveLockEx(&lock, UMF_POOL_TAG, 0, 0, sizeof(lock));
  ASSERT_EQ(IoAcquireRemoveLockEx(&lock, &first, "", 1, sizeof(lock)), STATUS_SUCCESS);
  IoReleaseRemoveLockAndWaitEx(&lock, &first, sizeof(lock));
  ASSERT_TRUE(km::RemoveLock(&lock).waitReturned);

  // A driver that checks the answer does nothing wrong: no check fires (the fixture looks).
  EXPECT_EQ(IoAcquireRemoveLockEx(&lock, &second, "", 1, sizeof(lock)), STATUS_DELETE_PENDING);
  EXPECT_EQ(km::RemoveLock(&lock).holders, 0u);
}

// ---------------------------------------------------------------- completion clears locations

NTSTATUS KeepBack(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_MORE_PROCESSING_REQUIRED; }

TEST_F(KernelTest, CompletionClearsTheLocationsItHasPassed) {
  PIRP irp = km::NewIrp(bus->Pdo(), IRP_MJ_READ, 0x5A, 1);
  PIO_STACK_LOCATION below = IoGetNextIrpStackLocation(irp);
  below->Flags = 0x3C;
  below->Parameters.Others.Argument1 = irp;
  below->Parameters.Others.Argument4 = irp;
  below->FileObject = reinterpret_cast<PFILE_OBJECT>(irp);
  IoSetCompletionRoutine(irp, KeepBack, irp, TRUE, TRUE, TRUE);
  IoCallDriver(bus->Pdo(), irp);

  ASSERT_TRUE(km::Irp(irp).heldForMoreProcessing);
  EXPECT_EQ(below->MajorFunction, IRP_MJ_READ) << "the major code stays";
  EXPECT_EQ(below->MinorFunction, 0);
  EXPECT_EQ(below->Flags, 0);
  EXPECT_EQ(below->Control, 0);
  EXPECT_EQ(below->Parameters.Others.Argument1, nullptr);
  EXPECT_EQ(below->Parameters.Others.Argument4, nullptr);
  EXPECT_EQ(below->FileObject, nullptr);
  EXPECT_EQ(below->CompletionRoutine, nullptr);
  EXPECT_EQ(below->Context, nullptr);
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

// ---------------------------------------------------------------- helper threads

TEST(ScopedThreadTest, AFailedAssertionWhileAHelperRunsFailsOnlyItsTest) {
  // With a plain std::thread here the failed assertion would terminate the test program.
  EXPECT_FATAL_FAILURE(
      {
        std::atomic<bool> stop{false};
        ScopedThread helper(
            [&] {
              while (!stop)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            },
            [&] { stop = true; });
        ASSERT_TRUE(false) << "assertion failed with the helper running";
      },
      "assertion failed with the helper running");
}

struct Invocations {
  int calls = 0;
};

NTSTATUS Count(PDEVICE_OBJECT, PIRP, PVOID Context) {
  static_cast<Invocations *>(Context)->calls++;
  return STATUS_SUCCESS;
}

class CompletionModelTest : public KernelTest {
protected:
  // Sends a request with a completion routine set for the given cases and lets the bus answer.
  int Calls(BOOLEAN onSuccess, BOOLEAN onError, BOOLEAN onCancel, NTSTATUS answer, bool cancel) {
    bus->script().otherStatus = answer;
    PIRP irp = km::NewIrp(bus->Pdo(), IRP_MJ_READ, 0, 1);
    irp->Cancel = cancel ? TRUE : FALSE;
    Invocations invocations;
    IoSetCompletionRoutine(irp, Count, &invocations, onSuccess, onError, onCancel);
    IoCallDriver(bus->Pdo(), irp);
    return invocations.calls;
  }
};

TEST_F(CompletionModelTest, RoutinesRunOnlyForTheCasesTheyAskFor) {
  EXPECT_EQ(Calls(TRUE, FALSE, FALSE, STATUS_SUCCESS, false), 1);
  EXPECT_EQ(Calls(FALSE, TRUE, FALSE, STATUS_SUCCESS, false), 0);
  EXPECT_EQ(Calls(FALSE, TRUE, FALSE, STATUS_UNSUCCESSFUL, false), 1);
  EXPECT_EQ(Calls(TRUE, FALSE, FALSE, STATUS_CANCELLED, true), 0);
  EXPECT_EQ(Calls(FALSE, FALSE, TRUE, STATUS_CANCELLED, true), 1);
}

} // namespace
