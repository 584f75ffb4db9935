// Requests the filter does not handle reach the lower device in the caller's own stack location,
// with the caller's parameters, and their completion goes straight back to the caller.
#include "kernel_fixture.h"

#include <atomic>
#include <cstddef>
#include <cstring>
#include <tuple>

namespace {

struct CallerRecord {
  std::atomic<int> calls{0};
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  BOOLEAN pendingReturned = FALSE;
};

// The completion routine of the driver above, set in the filter's location.
NTSTATUS CallerCompletion(PDEVICE_OBJECT, PIRP Irp, PVOID Context) {
  auto *record = static_cast<CallerRecord *>(Context);
  record->status = Irp->IoStatus.Status;
  record->pendingReturned = Irp->PendingReturned;
  record->calls++;
  return STATUS_SUCCESS;
}

unsigned char systemBuffer[64];
unsigned char userBuffer[64];
unsigned char fileObject[16];

void FillCallerParameters(PIRP irp, UCHAR major) {
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  irp->AssociatedIrp.SystemBuffer = systemBuffer;
  irp->UserBuffer = userBuffer;
  next->FileObject = reinterpret_cast<PFILE_OBJECT>(fileObject);
  next->Flags = 0x5A;
  switch (major) {
  case IRP_MJ_READ:
  case IRP_MJ_WRITE:
    next->Parameters.Read.Length = 512;
    next->Parameters.Read.Key = 7;
    next->Parameters.Read.ByteOffset.QuadPart = 0x123456789LL;
    break;
  case IRP_MJ_DEVICE_CONTROL:
  case IRP_MJ_INTERNAL_DEVICE_CONTROL:
    next->Parameters.DeviceIoControl.OutputBufferLength = sizeof(userBuffer);
    next->Parameters.DeviceIoControl.InputBufferLength = 24;
    next->Parameters.DeviceIoControl.IoControlCode =
        CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_NEITHER, FILE_ANY_ACCESS);
    next->Parameters.DeviceIoControl.Type3InputBuffer = systemBuffer;
    break;
  default:
    next->Parameters.Others.Argument1 = userBuffer;
    next->Parameters.Others.Argument4 = systemBuffer;
    break;
  }
}

class PassThroughTest : public FilterTest,
                        public ::testing::WithParamInterface<std::tuple<UCHAR, km::Answer>> {};

TEST_P(PassThroughTest, ReachesTheLowerDeviceInTheCallersLocationAndCompletesToTheCaller) {
  UCHAR major = std::get<0>(GetParam());
  km::Answer answer = std::get<1>(GetParam());
  bus->script().other = answer;
  bus->script().otherStatus = STATUS_DEVICE_NOT_CONNECTED;

  PIRP irp = km::NewIrp(filter, major, 0, /* extra: the caller's location */ 1);
  FillCallerParameters(irp, major);
  CallerRecord caller;
  IoSetCompletionRoutine(irp, CallerCompletion, &caller, TRUE, TRUE, TRUE);
  PIO_STACK_LOCATION callerFilled = IoGetNextIrpStackLocation(irp);
  IO_STACK_LOCATION expected;
  std::memcpy(&expected, callerFilled, sizeof(expected));

  NTSTATUS status = Send(irp);

  EXPECT_EQ(status, answer == km::Answer::Complete ? STATUS_DEVICE_NOT_CONNECTED : STATUS_PENDING);
  ASSERT_TRUE(km::WaitCompleted(irp));
  std::vector<km::Received> requests = bus->Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].locationAddress, callerFilled) << "the location is skipped, not copied";
  EXPECT_EQ(0, std::memcmp(&requests[0].location, &expected,
                           offsetof(IO_STACK_LOCATION, DeviceObject)))
      << "codes, flags and parameters as the caller set them";
  EXPECT_EQ(requests[0].location.FileObject, expected.FileObject);
  EXPECT_EQ(requests[0].location.CompletionRoutine, CallerCompletion)
      << "the filter sets no completion routine of its own";
  EXPECT_EQ(requests[0].systemBuffer, systemBuffer);
  EXPECT_EQ(requests[0].userBuffer, userBuffer);

  EXPECT_EQ(caller.calls, 1);
  EXPECT_EQ(caller.status, STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(caller.pendingReturned, answer == km::Answer::Complete ? FALSE : TRUE);
  EXPECT_EQ(km::Irp(irp).completions, 1);
  EXPECT_EQ(km::RemoveLock(&extension->RemoveLock).holders, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Requests, PassThroughTest,
    ::testing::Combine(::testing::Values(IRP_MJ_READ, IRP_MJ_WRITE, IRP_MJ_DEVICE_CONTROL,
                                         IRP_MJ_INTERNAL_DEVICE_CONTROL, IRP_MJ_CREATE,
                                         IRP_MJ_CLOSE, IRP_MJ_CLEANUP, IRP_MJ_FLUSH_BUFFERS,
                                         IRP_MJ_SYSTEM_CONTROL),
                       ::testing::Values(km::Answer::Complete, km::Answer::CompleteLater)),
    [](const ::testing::TestParamInfo<std::tuple<UCHAR, km::Answer>> &request) {
      return "Major" + std::to_string(std::get<0>(request.param)) +
             (std::get<1>(request.param) == km::Answer::Complete ? "Synchronous" : "Pended");
    });

class PowerTest : public FilterTest {};

TEST_F(PowerTest, EveryPowerRequestIsPassedDownWithTheNextOneStarted) {
  for (UCHAR minor : {IRP_MN_WAIT_WAKE, IRP_MN_POWER_SEQUENCE, IRP_MN_SET_POWER,
                      IRP_MN_QUERY_POWER}) {
    PIRP irp = km::NewIrp(filter, IRP_MJ_POWER, minor);
    PIO_STACK_LOCATION location = IoGetNextIrpStackLocation(irp);
    location->Parameters.Power.Type = DevicePowerState;
    location->Parameters.Power.State.DeviceState = PowerDeviceD3;

    EXPECT_EQ(Send(irp), STATUS_SUCCESS);

    km::Received received = bus->Requests().back();
    EXPECT_EQ(received.irp, irp);
    EXPECT_EQ(received.locationAddress, location);
    EXPECT_EQ(received.location.MinorFunction, minor);
    EXPECT_EQ(received.location.Parameters.Power.State.DeviceState, PowerDeviceD3);
  }
  // PoStartNextPowerIrp before passing on is enforced by the verifier at every hop.
}

TEST_F(PowerTest, PowerRequestsMayArriveAtDispatchLevel) {
  bus->script().other = km::Answer::CompleteLater;
  PIRP irp = km::NewIrp(filter, IRP_MJ_POWER, IRP_MN_SET_POWER);
  {
    km::IrqlScope dispatch(DISPATCH_LEVEL);
    EXPECT_EQ(Send(irp), STATUS_PENDING);
  }
  EXPECT_TRUE(km::WaitCompleted(irp));
}

} // namespace
