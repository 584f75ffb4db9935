#include "kernel_fixture.h"

void KernelTest::SetUp() {
  km::Reset();
  bus = std::make_unique<km::UsbBus>();
}

void KernelTest::TearDown() {
  bus->ReleasePaused();
  bus->JoinThreads();
  km::FinishChecks();
  for (const std::string &violation : km::TakeViolations())
    ADD_FAILURE() << "verifier: " << violation;
  bus.reset();
  km::Reset();
}

void KernelTest::ExpectViolation(const std::string &check) {
  EXPECT_TRUE(km::HasViolation(check)) << "the " << check << " check did not fire";
  km::TakeViolations();
}

void FilterTest::SetUp() {
  KernelTest::SetUp();
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  driver = km::LoadDriver(DriverEntry, &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  ASSERT_EQ(km::AddDevice(driver, bus->Pdo()), STATUS_SUCCESS);
  filter = km::TopOfStack(bus->Pdo());
  ASSERT_NE(filter, bus->Pdo());
  extension = static_cast<PUMF_DEVICE_EXTENSION>(filter->DeviceExtension);
}

NTSTATUS FilterTest::Send(PIRP irp) { return IoCallDriver(filter, irp); }

NTSTATUS FilterTest::SendPnp(UCHAR minor, PIRP *sent) {
  PIRP irp = Pnp(minor);
  if (sent != nullptr)
    *sent = irp;
  return Send(irp);
}
