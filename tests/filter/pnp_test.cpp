// PnP requests other than start: removal, surprise removal, requests that arrive while removal
// waits, and the ones passed down untouched.
#include "kernel_fixture.h"

#include <atomic>
#include <thread>

#include "scoped_thread.h"

namespace {

class PnpTest : public FilterTest {};

TEST_F(PnpTest, QueryRemoveIsPassedDownUntouchedAndTheLowerAnswerGoesUp) {
  bus->script().otherStatus = STATUS_UNSUCCESSFUL; // the lower drivers veto
  PIRP query = Pnp(IRP_MN_QUERY_REMOVE_DEVICE);
  PIO_STACK_LOCATION filterLocation = IoGetNextIrpStackLocation(query);

  EXPECT_EQ(Send(query), STATUS_UNSUCCESSFUL);

  std::vector<km::Received> requests = bus->Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].locationAddress, filterLocation) << "skipped, not copied";
  EXPECT_EQ(requests[0].location.MinorFunction, IRP_MN_QUERY_REMOVE_DEVICE);
  EXPECT_EQ(requests[0].location.CompletionRoutine, nullptr);
  EXPECT_EQ(km::Irp(query).finalStatus, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(km::Irp(query).completions, 1);
  EXPECT_EQ(km::RemoveLock(&extension->RemoveLock).holders, 0u);
}

TEST_F(PnpTest, CancelRemoveAndOtherCodesArePassedDown) {
  for (UCHAR minor : {IRP_MN_CANCEL_REMOVE_DEVICE, IRP_MN_QUERY_CAPABILITIES,
                      IRP_MN_QUERY_DEVICE_RELATIONS}) {
    EXPECT_EQ(SendPnp(minor), STATUS_SUCCESS);
    EXPECT_EQ(bus->Count(IRP_MJ_PNP, minor), 1u) << "minor " << int(minor);
  }
}

TEST_F(PnpTest, RemovalPassesDownThenDetachesAndDeletes) {
  ASSERT_EQ(SendPnp(IRP_MN_START_DEVICE), STATUS_SUCCESS);
  PIRP remove = nullptr;

  EXPECT_EQ(SendPnp(IRP_MN_REMOVE_DEVICE, &remove), STATUS_SUCCESS);

  EXPECT_EQ(bus->Count(IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE), 1u);
  EXPECT_EQ(km::Irp(remove).finalStatus, STATUS_SUCCESS);
  EXPECT_EQ(bus->Pdo()->AttachedDevice, nullptr);
  km::DeviceInfo info = km::Device(filter);
  EXPECT_TRUE(info.detached);
  EXPECT_TRUE(info.deleted);
  EXPECT_TRUE(km::RemoveLock(&extension->RemoveLock).waitReturned);
  EXPECT_EQ(extension->Started, FALSE);
  EXPECT_EQ(extension->Removed, TRUE);
}

TEST_F(PnpTest, SurpriseRemovalThenRemovalBothPassDown) {
  ASSERT_EQ(SendPnp(IRP_MN_START_DEVICE), STATUS_SUCCESS);

  EXPECT_EQ(SendPnp(IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
  EXPECT_EQ(extension->Removed, TRUE);
  EXPECT_EQ(extension->Started, TRUE) << "only the removal clears it";
  EXPECT_FALSE(km::Device(filter).deleted);

  EXPECT_EQ(SendPnp(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(bus->Count(IRP_MJ_PNP, IRP_MN_SURPRISE_REMOVAL), 1u);
  EXPECT_EQ(bus->Count(IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE), 1u);
  EXPECT_TRUE(km::Device(filter).deleted);
  EXPECT_TRUE(km::RemoveLock(&extension->RemoveLock).waitReturned);
}

// A read or a power request held inside the lower driver keeps the filter's remove lock; the
// removal waits for it, and meanwhile every new request is failed with STATUS_DELETE_PENDING
// without reaching the bus.
class HeldRequestTest : public FilterTest, public ::testing::WithParamInterface<UCHAR> {};

TEST_P(HeldRequestTest, RequestsArrivingWhileRemovalWaitsAreFailedWithDeletePending) {
  UCHAR major = GetParam();
  bus->PauseNext(major);
  PIRP held = km::NewIrp(filter, major, major == IRP_MJ_POWER ? IRP_MN_SET_POWER : 0);
  ScopedThread holder([&] { Send(held); }, [&] { bus->ReleasePaused(); });
  ASSERT_TRUE(bus->WaitPaused());
  EXPECT_EQ(km::RemoveLock(&extension->RemoveLock).holders, 1u)
      << "the lock is held while the lower driver has the request";

  std::atomic<bool> removed{false};
  NTSTATUS removeStatus = STATUS_UNSUCCESSFUL;
  ScopedThread pnp(
      [&] {
        removeStatus = SendPnp(IRP_MN_REMOVE_DEVICE);
        removed = true;
      },
      [&] { bus->ReleasePaused(); });
  ASSERT_TRUE(km::WaitUntil([&] { return km::RemoveLock(&extension->RemoveLock).waitBegun; }));
  EXPECT_EQ(bus->Count(IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE), 1u) << "passed down before the wait";

  size_t before = bus->Requests().size();
  PIRP late = Pnp(IRP_MN_QUERY_CAPABILITIES);
  EXPECT_EQ(Send(late), STATUS_DELETE_PENDING);
  EXPECT_EQ(km::Irp(late).finalStatus, STATUS_DELETE_PENDING);
  PIRP write = km::NewIrp(filter, IRP_MJ_WRITE, 0);
  EXPECT_EQ(Send(write), STATUS_DELETE_PENDING);
  PIRP power = km::NewIrp(filter, IRP_MJ_POWER, IRP_MN_SET_POWER);
  EXPECT_EQ(Send(power), STATUS_DELETE_PENDING);
  EXPECT_EQ(bus->Requests().size(), before) << "none of them reached the lower device";
  EXPECT_FALSE(removed);
  EXPECT_FALSE(km::Device(filter).detached);

  bus->ReleasePaused();
  holder.join();
  pnp.join();
  EXPECT_TRUE(removed);
  EXPECT_EQ(removeStatus, STATUS_SUCCESS);
  EXPECT_TRUE(km::Irp(held).completed);
  EXPECT_TRUE(km::Device(filter).deleted);
}

INSTANTIATE_TEST_SUITE_P(Holders, HeldRequestTest, ::testing::Values(IRP_MJ_READ, IRP_MJ_POWER),
                         [](const ::testing::TestParamInfo<UCHAR> &major) {
                           return major.param == IRP_MJ_POWER ? "Power" : "Read";
                         });

// The same with a PnP request as the holder: a start whose lower drivers have not finished.
TEST_F(PnpTest, RemovalWaitsForAStartStillInProgress) {
  bus->script().start = km::Answer::Hold;
  PIRP start = Pnp(IRP_MN_START_DEVICE);
  auto completeHeld = [&] { bus->CompleteHeld(STATUS_SUCCESS); };
  ScopedThread starter([&] { Send(start); }, completeHeld);
  ASSERT_TRUE(km::WaitUntil([&] { return bus->HeldCount() == 1; }));

  std::atomic<bool> removed{false};
  ScopedThread pnp(
      [&] {
        SendPnp(IRP_MN_REMOVE_DEVICE);
        removed = true;
      },
      completeHeld);
  ASSERT_TRUE(km::WaitUntil([&] { return km::RemoveLock(&extension->RemoveLock).waitBegun; }));
  EXPECT_EQ(SendPnp(IRP_MN_QUERY_DEVICE_RELATIONS), STATUS_DELETE_PENDING);
  EXPECT_FALSE(removed);

  bus->CompleteHeld(STATUS_SUCCESS);
  starter.join();
  pnp.join();
  EXPECT_TRUE(removed);
  EXPECT_EQ(km::Irp(start).finalStatus, STATUS_SUCCESS);
  EXPECT_EQ(bus->Count(IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_RELATIONS), 0u);
  EXPECT_TRUE(km::Device(filter).deleted);
}

TEST_F(PnpTest, DispatchIsPageableAndChecksItsIrql) {
  {
    km::IrqlScope dispatch(DISPATCH_LEVEL);
    SendPnp(IRP_MN_QUERY_CAPABILITIES);
  }
  ExpectViolation("PagedCodeAtDispatch");
}

// A whole lifetime with every lower answer pended and completed at DISPATCH_LEVEL from the bus's
// threads; the fixture's verifier checks must stay silent throughout.
TEST_F(PnpTest, AWholeLifetimeWithPendedAnswersBreaksNoRule) {
  bus->script().start = km::Answer::CompleteLater;
  bus->script().urb = km::Answer::CompleteLater;
  bus->script().other = km::Answer::CompleteLater;
  auto send = [&](UCHAR major, UCHAR minor) {
    PIRP irp = km::NewIrp(filter, major, minor);
    Send(irp);
    EXPECT_TRUE(km::WaitCompleted(irp)) << "major " << int(major) << " minor " << int(minor);
  };
  send(IRP_MJ_PNP, IRP_MN_START_DEVICE);
  send(IRP_MJ_POWER, IRP_MN_SET_POWER);
  send(IRP_MJ_READ, 0);
  send(IRP_MJ_PNP, IRP_MN_STOP_DEVICE);
  send(IRP_MJ_PNP, IRP_MN_START_DEVICE);
  send(IRP_MJ_PNP, IRP_MN_SURPRISE_REMOVAL);
  send(IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE);
  EXPECT_EQ(bus->Urbs().size(), 2u);
  EXPECT_TRUE(km::Device(filter).deleted);
}

} // namespace
