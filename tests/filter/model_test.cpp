// The model's own semantics where the filter relies on them: remove locks as documented, and the
// invoke flags of completion routines.
#include "kernel_fixture.h"

#include <atomic>
#include <thread>

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
  std::thread remover([&] {
    IoReleaseRemoveLockAndWaitEx(&lock, &first, sizeof(lock));
    returned = true;
  });
  ASSERT_TRUE(km::WaitUntil([&] { return km::RemoveLock(&lock).waitBegun; }));
  EXPECT_EQ(IoAcquireRemoveLockEx(&lock, &first, "", 1, sizeof(lock)), STATUS_DELETE_PENDING);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(returned) << "the second holder has not released";

  IoReleaseRemoveLockEx(&lock, &second, sizeof(lock));
  remover.join();
  EXPECT_TRUE(returned);
  EXPECT_TRUE(km::RemoveLock(&lock).waitReturned);
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
