// Fixtures for the filter's tests: a fresh I/O manager model per test, the scripted USB bus as the
// lower driver, and the verifier's findings turned into test failures.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "kmodel.h"
#include "usb_bus.h"
#include "usbmodeflt.h"

// Any verifier violation left at the end of a test fails it.
class KernelTest : public ::testing::Test {
protected:
  void SetUp() override;
  void TearDown() override;

  // For tests that break a rule on purpose: the check must have fired. Clears the record.
  void ExpectViolation(const std::string &check);

  std::unique_ptr<km::UsbBus> bus;
};

// usbmodeflt loaded and attached to the bus's PDO.
class FilterTest : public KernelTest {
protected:
  void SetUp() override;

  // Sends a request into the top of the stack as the PnP manager would; returns the dispatch
  // routine's status.
  NTSTATUS Send(PIRP irp);
  PIRP Pnp(UCHAR minor) { return km::NewIrp(filter, IRP_MJ_PNP, minor); }
  NTSTATUS SendPnp(UCHAR minor, PIRP *sent = nullptr);

  PDRIVER_OBJECT driver = nullptr;
  PDEVICE_OBJECT filter = nullptr;
  PUMF_DEVICE_EXTENSION extension = nullptr;
};

constexpr size_t kVendorUrbSize = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
