// IRP_MN_START_DEVICE: the lower drivers start the device, then the vendor request is sent and
// has finished before the start request completes upward, whichever way the lower drivers answer.
#include "kernel_fixture.h"

#include "scoped_thread.h"

#include <thread>

namespace {

class StartTest : public FilterTest, public ::testing::WithParamInterface<km::Answer> {};

// The bus completed the vendor request, and did so before `sequence`: a request still pending
// when the start went up has no completion to compare.
void ExpectFinishedBefore(const km::Received &urb, uint64_t sequence) {
  EXPECT_NE(urb.completedSequence, 0u) << "the vendor request had not completed";
  EXPECT_LT(urb.completedSequence, sequence) << "the vendor request finished after the start";
}

TEST_P(StartTest, SendsTheVendorRequestAtPassiveLevelBeforeCompletingUpward) {
  bus->script().start = GetParam();
  bus->script().urb = GetParam();
  PIRP start = nullptr;

  NTSTATUS status = SendPnp(IRP_MN_START_DEVICE, &start);

  EXPECT_EQ(status, STATUS_SUCCESS);
  km::IrpInfo done = km::Irp(start);
  ASSERT_TRUE(done.completed);
  EXPECT_EQ(done.finalStatus, STATUS_SUCCESS);
  EXPECT_EQ(done.completions, 2) << "the lower driver's, taken back, then the filter's";

  std::vector<km::Received> requests = bus->Requests();
  ASSERT_EQ(requests.size(), 2u);
  const km::Received &lowerStart = requests[0];
  const km::Received &urb = requests[1];
  EXPECT_EQ(lowerStart.location.MinorFunction, IRP_MN_START_DEVICE);
  // The start comes back to the filter whatever happened below: success, error or cancel.
  EXPECT_EQ(lowerStart.location.Control & (SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL),
            SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL);
  EXPECT_EQ(lowerStart.location.CompletionRoutine, &UmfStartCompletion);
  ASSERT_TRUE(urb.urb);
  EXPECT_GT(urb.sequence, lowerStart.completedSequence) << "only after the start succeeded";
  ExpectFinishedBefore(urb, done.completedSequence);
  EXPECT_EQ(urb.irql, PASSIVE_LEVEL);
  EXPECT_EQ(urb.thread, std::this_thread::get_id()) << "sent from the start handler";
  EXPECT_EQ(done.poolBlocksAtCompletion, 0u) << "URB block freed before the start completes";
  EXPECT_EQ(extension->Started, TRUE);
}

TEST_P(StartTest, FailedStartSendsNothingAndKeepsTheLowerStatus) {
  bus->script().start = GetParam();
  bus->script().startStatus = STATUS_DEVICE_NOT_CONNECTED;
  PIRP start = nullptr;

  NTSTATUS status = SendPnp(IRP_MN_START_DEVICE, &start);

  EXPECT_EQ(status, STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(km::Irp(start).finalStatus, STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_TRUE(bus->Urbs().empty());
  EXPECT_TRUE(km::PoolHistory().empty());
  EXPECT_EQ(extension->Started, FALSE);
}

TEST_P(StartTest, TheDevicesAnswerToTheVendorRequestDoesNotChangeTheStart) {
  bus->script().start = GetParam();
  bus->script().urb = GetParam();
  bus->script().urbStatus = STATUS_UNSUCCESSFUL;
  PIRP start = nullptr;

  EXPECT_EQ(SendPnp(IRP_MN_START_DEVICE, &start), STATUS_SUCCESS);

  EXPECT_EQ(km::Irp(start).finalStatus, STATUS_SUCCESS);
  ASSERT_EQ(bus->Urbs().size(), 1u);
  ExpectFinishedBefore(bus->Urbs()[0], km::Irp(start).completedSequence);
  EXPECT_EQ(extension->Started, TRUE);
}

struct UpperCompletion {
  int calls = 0;
  NTSTATUS status = STATUS_PENDING;
  uint64_t sequence = 0;
};

NTSTATUS RecordUpperCompletion(PDEVICE_OBJECT, PIRP Irp, PVOID Context) {
  auto *upper = static_cast<UpperCompletion *>(Context);
  upper->calls++;
  upper->status = Irp->IoStatus.Status;
  upper->sequence = km::NextSequence();
  return STATUS_SUCCESS;
}

// The driver above sets a completion routine of its own in the filter's location. A filter that
// skipped its location before setting its routine would overwrite the one above it.
TEST_P(StartTest, AnUpperDriversCompletionRoutineRunsOnceAfterTheVendorRequest) {
  bus->script().start = GetParam();
  bus->script().urb = GetParam();
  PIRP start = km::NewIrp(filter, IRP_MJ_PNP, IRP_MN_START_DEVICE, /* extra: the caller's */ 1);
  UpperCompletion upper;
  IoSetCompletionRoutine(start, RecordUpperCompletion, &upper, TRUE, TRUE, TRUE);

  EXPECT_EQ(Send(start), STATUS_SUCCESS);

  EXPECT_EQ(upper.calls, 1);
  EXPECT_EQ(upper.status, STATUS_SUCCESS);
  ASSERT_EQ(bus->Urbs().size(), 1u);
  ExpectFinishedBefore(bus->Urbs()[0], upper.sequence);
  std::vector<km::Received> requests = bus->Requests();
  EXPECT_EQ(requests[0].location.CompletionRoutine, &UmfStartCompletion);
}

INSTANTIATE_TEST_SUITE_P(LowerDrivers, StartTest,
                         ::testing::Values(km::Answer::Complete, km::Answer::CompleteLater),
                         [](const ::testing::TestParamInfo<km::Answer> &answer) {
                           return answer.param == km::Answer::Complete ? "Synchronous"
                                                                     : "PendedThenDispatchLevel";
                         });

class RestartTest : public FilterTest {};

TEST_F(RestartTest, EachSuccessfulStartSendsTheRequestAgain) {
  EXPECT_EQ(SendPnp(IRP_MN_START_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(SendPnp(IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(SendPnp(IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(extension->Started, TRUE) << "a stop passes through and changes nothing";
  EXPECT_EQ(SendPnp(IRP_MN_START_DEVICE), STATUS_SUCCESS);

  EXPECT_EQ(bus->Urbs().size(), 2u);
  EXPECT_EQ(bus->Count(IRP_MJ_PNP, IRP_MN_STOP_DEVICE), 1u);
  EXPECT_EQ(bus->Count(IRP_MJ_PNP, IRP_MN_START_DEVICE), 2u);
}

TEST_F(RestartTest, TheWaitingStartHoldsTheRemoveLock) {
  bus->script().start = km::Answer::Hold;
  PIRP start = Pnp(IRP_MN_START_DEVICE);
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  ScopedThread pnp([&] { status = Send(start); }, [&] { bus->CompleteHeld(STATUS_SUCCESS); });

  ASSERT_TRUE(km::WaitUntil([&] { return bus->HeldCount() == 1; }));
  EXPECT_EQ(km::RemoveLock(&extension->RemoveLock).holders, 1u);
  EXPECT_FALSE(km::Irp(start).completed);

  bus->CompleteHeld(STATUS_SUCCESS);
  pnp.join();
  EXPECT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(km::RemoveLock(&extension->RemoveLock).holders, 0u);
  EXPECT_EQ(bus->Urbs().size(), 1u);
}

} // namespace
