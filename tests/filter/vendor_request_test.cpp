// UmfSendStartVendorRequest: the URB's bytes, its pool block, and the block's release in every
// outcome.
#include "kernel_fixture.h"

#include <cstring>

namespace {

class VendorRequestTest : public FilterTest {};

TEST_F(VendorRequestTest, UrbBytesAreExactlyTheStartRequest) {
  ASSERT_EQ(kVendorUrbSize, 0x88u) << "the x64 layout of the request block";

  EXPECT_EQ(UmfSendStartVendorRequest(extension), STATUS_SUCCESS);

  std::vector<km::Received> urbs = bus->Urbs();
  ASSERT_EQ(urbs.size(), 1u);
  struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST expected;
  std::memset(&expected, 0, sizeof(expected));
  expected.Hdr.Length = 0x0088;
  expected.Hdr.Function = 0x0017;
  expected.RequestTypeReservedBits = 0x40;
  expected.Request = 0xF3;
  ASSERT_EQ(urbs[0].urbBytes.size(), sizeof(expected));
  EXPECT_EQ(0, std::memcmp(urbs[0].urbBytes.data(), &expected, sizeof(expected)))
      << "every member not named stays 0: no transfer buffer, MDL, link, flags or value";

  const IO_STACK_LOCATION &location = urbs[0].location;
  EXPECT_EQ(location.MajorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
  EXPECT_EQ(location.Parameters.DeviceIoControl.IoControlCode, 0x220003u);
  EXPECT_EQ(location.Parameters.DeviceIoControl.InputBufferLength, 0u);
  EXPECT_EQ(location.Parameters.DeviceIoControl.Type3InputBuffer, nullptr);
  // Argument1 overlays OutputBufferLength, as in the kernel's layout.
  EXPECT_EQ(location.Parameters.Others.Argument1, urbs[0].urbAddress);
  EXPECT_EQ(location.DeviceObject, bus->Pdo());
}

TEST_F(VendorRequestTest, UrbLivesInOneNonPagedTaggedBlockOfItsOwnSize) {
  EXPECT_EQ(UmfSendStartVendorRequest(extension), STATUS_SUCCESS);

  std::vector<km::PoolEvent> history = km::PoolHistory();
  ASSERT_EQ(history.size(), 2u);
  EXPECT_TRUE(history[0].allocation);
  EXPECT_EQ(history[0].block.type, NonPagedPoolNx);
  EXPECT_EQ(history[0].block.size, kVendorUrbSize);
  EXPECT_EQ(0, std::memcmp(&history[0].block.tag, "Vtrl", 4));
  EXPECT_EQ(history[0].block.address, bus->Urbs().at(0).urbAddress);
  EXPECT_FALSE(history[1].allocation);
  EXPECT_EQ(history[1].block.address, history[0].block.address);
  EXPECT_GT(history[1].sequence, bus->Urbs().at(0).completedSequence)
      << "freed only once the request has completed";
}

struct Outcome {
  const char *name;
  km::Answer answer;
  NTSTATUS urbStatus;
  bool failPool;
  bool failIrp;
  NTSTATUS expected;
  size_t urbsSent;
  size_t blocksAllocated;
};

class VendorRequestOutcomeTest : public FilterTest, public ::testing::WithParamInterface<Outcome> {
 protected:
  // Scripts the bus's answer and the injected failures of this outcome.
  const Outcome &Arrange() {
    const Outcome &outcome = GetParam();
    bus->script().urb = outcome.answer;
    bus->script().urbStatus = outcome.urbStatus;
    if (outcome.failPool)
      km::FailPoolAllocations(1, UMF_POOL_TAG);
    if (outcome.failIrp)
      km::FailBuildIoControlRequest(1);
    return outcome;
  }
};

TEST_P(VendorRequestOutcomeTest, ReturnsItsStatusAndLeavesNoPool) {
  const Outcome &outcome = Arrange();

  EXPECT_EQ(UmfSendStartVendorRequest(extension), outcome.expected);

  EXPECT_EQ(bus->Urbs().size(), outcome.urbsSent);
  size_t allocated = 0;
  for (const km::PoolEvent &event : km::PoolHistory())
    allocated += event.allocation ? 1 : 0;
  EXPECT_EQ(allocated, outcome.blocksAllocated);
  EXPECT_TRUE(km::OutstandingPool().empty());
}

TEST_P(VendorRequestOutcomeTest, NeverChangesTheOutcomeOfTheStart) {
  Arrange();
  PIRP start = nullptr;

  EXPECT_EQ(SendPnp(IRP_MN_START_DEVICE, &start), STATUS_SUCCESS);

  EXPECT_EQ(km::Irp(start).finalStatus, STATUS_SUCCESS);
  EXPECT_EQ(km::Irp(start).poolBlocksAtCompletion, 0u);
  EXPECT_EQ(extension->Started, TRUE);
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, VendorRequestOutcomeTest,
    ::testing::Values(
        Outcome{"Success", km::Answer::Complete, STATUS_SUCCESS, false, false, STATUS_SUCCESS, 1, 1},
        Outcome{"Failure", km::Answer::Complete, STATUS_UNSUCCESSFUL, false, false,
                STATUS_UNSUCCESSFUL, 1, 1},
        Outcome{"PendedSuccess", km::Answer::CompleteLater, STATUS_SUCCESS, false, false,
                STATUS_SUCCESS, 1, 1},
        Outcome{"PendedFailure", km::Answer::CompleteLater, STATUS_DEVICE_NOT_CONNECTED, false,
                false, STATUS_DEVICE_NOT_CONNECTED, 1, 1},
        Outcome{"NoPool", km::Answer::Complete, STATUS_SUCCESS, true, false,
                STATUS_INSUFFICIENT_RESOURCES, 0, 0},
        Outcome{"NoIrp", km::Answer::Complete, STATUS_SUCCESS, false, true,
                STATUS_INSUFFICIENT_RESOURCES, 0, 1}),
    [](const ::testing::TestParamInfo<Outcome> &outcome) { return outcome.param.name; });

} // namespace
