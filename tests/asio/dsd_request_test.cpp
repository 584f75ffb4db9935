// The DSD mode request: which interface is opened, what is sent to it, what is printed, and that
// nothing stays open, on the simulated machine's device interfaces.
#include <gtest/gtest.h>

#include <string>

#include "dsd_request.h"
#include "machine.h"
#include "sim/devices.h"
#include "sim/handles.h"
#include "sim/machine.h"
#include "sim/usb.h"

namespace {

const GUID kDacClass = {0x5E1A7C30, 0x2B94, 0x4D6E, {0x8F, 0x03, 0x91, 0xC4, 0xA7, 0xB2, 0xD6, 0x15}};
const GUID kOtherClass = {0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};
const wchar_t kPrefix[] = L"USB\\VID_F1E5&PID_7A11";

sim::DeviceInterface Dac(const std::wstring &serial) {
  sim::DeviceInterface iface;
  iface.classGuid = kDacClass;
  iface.instanceId = L"USB\\VID_F1E5&PID_7A11\\" + serial;
  iface.devicePath = L"\\\\?\\usb#vid_f1e5&pid_7a11#" + serial + L"#{5e1a7c30-2b94-4d6e-8f03-91c4a7b2d615}";
  return iface;
}

struct Outcome {
  int result;
  std::string output;
};

Outcome Send(const wchar_t *prefix) {
  testing::internal::CaptureStdout();
  int result = SendDsdModeRequest(prefix);
  fflush(stdout);
  return Outcome{result, testing::internal::GetCapturedStdout()};
}

class DsdRequestTest : public MachineTest {
 protected:
  void TearDown() override {
    // Whatever happened, nothing the request opened may outlive it.
    EXPECT_EQ(0, sim::OpenHandles());
    EXPECT_EQ(0, sim::OpenDeviceInfoSets());
    EXPECT_EQ(0, sim::OpenWinUsbSessions());
    EXPECT_EQ(0, sim::LiveHeapBlocks());
    MachineTest::TearDown();
  }
};

TEST_F(DsdRequestTest, SendsTheVendorRequestToTheMatchingInterface) {
  sim::AddDeviceInterface(Dac(L"A1"));
  Outcome outcome = Send(kPrefix);
  EXPECT_EQ(0, outcome.result);
  EXPECT_EQ("USB vendor control message sent successfully.\n", outcome.output);

  ASSERT_EQ(1u, sim::DeviceOpens().size());
  const sim::DeviceOpen &open = sim::DeviceOpens()[0];
  EXPECT_EQ(Dac(L"A1").devicePath, open.path);
  EXPECT_EQ(static_cast<DWORD>(GENERIC_READ | GENERIC_WRITE), open.desiredAccess);
  EXPECT_EQ(static_cast<DWORD>(FILE_SHARE_READ | FILE_SHARE_WRITE), open.shareMode);
  EXPECT_EQ(static_cast<DWORD>(OPEN_EXISTING), open.creationDisposition);
  EXPECT_EQ(static_cast<DWORD>(FILE_FLAG_OVERLAPPED), open.flagsAndAttributes);
  EXPECT_TRUE(open.securityNull);
  EXPECT_TRUE(open.templateNull);

  ASSERT_EQ(1u, sim::ControlTransfers().size());
  const sim::ControlTransfer &transfer = sim::ControlTransfers()[0];
  const uint8_t expected[8] = {0x40, 0xF2, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(expected[i], transfer.setupPacket[i]) << "setup byte " << i;
  EXPECT_NE(nullptr, transfer.buffer);
  EXPECT_EQ(0xF2, transfer.firstBufferByte);
  EXPECT_EQ(0u, transfer.bufferLength);
  EXPECT_TRUE(transfer.overlappedNull);
  EXPECT_EQ(open.handle, transfer.deviceHandle);
}

TEST_F(DsdRequestTest, SetOfInterfacesCannotBeObtained) {
  sim::AddDeviceInterface(Dac(L"A1"));
  sim::FailGetClassDevs(ERROR_NOT_ENOUGH_MEMORY);
  Outcome outcome = Send(kPrefix);
  EXPECT_EQ(-1, outcome.result);
  EXPECT_EQ("SetupDiGetClassDevs failed\n", outcome.output);
  EXPECT_TRUE(sim::DeviceOpens().empty());
}

TEST_F(DsdRequestTest, NoInterfaceOfTheClassIsSilent) {
  sim::DeviceInterface other = Dac(L"A1");
  other.classGuid = kOtherClass;
  sim::AddDeviceInterface(other);
  sim::DeviceInterface absent = Dac(L"A2");
  absent.present = false;
  sim::AddDeviceInterface(absent);
  Outcome outcome = Send(kPrefix);
  EXPECT_EQ(-1, outcome.result);
  EXPECT_EQ("", outcome.output);
  EXPECT_TRUE(sim::DeviceOpens().empty());
}

TEST_F(DsdRequestTest, NoMatchingPrefixIsSilent) {
  sim::AddDeviceInterface(Dac(L"A1"));
  Outcome outcome = Send(L"USB\\VID_F1E5&PID_7A12");
  EXPECT_EQ(-1, outcome.result);
  EXPECT_EQ("", outcome.output);
  EXPECT_TRUE(sim::DeviceOpens().empty());
}

TEST_F(DsdRequestTest, DetailBufferCannotBeAllocated) {
  sim::AddDeviceInterface(Dac(L"A1"));
  sim::FailHeapAllocAfter(0);
  Outcome outcome = Send(kPrefix);
  EXPECT_EQ(-1, outcome.result);
  EXPECT_EQ("", outcome.output);
  EXPECT_TRUE(sim::DeviceOpens().empty());
}

TEST_F(DsdRequestTest, MatchingInterfaceCannotBeOpened) {
  sim::DeviceInterface dac = Dac(L"A1");
  dac.openError = ERROR_ACCESS_DENIED;
  sim::AddDeviceInterface(dac);
  Outcome outcome = Send(kPrefix);
  EXPECT_EQ(-1, outcome.result);
  EXPECT_EQ("CreateFile failed\n", outcome.output);
  EXPECT_TRUE(sim::ControlTransfers().empty());
}

TEST_F(DsdRequestTest, WinUsbCannotBeInitialised) {
  sim::DeviceInterface dac = Dac(L"A1");
  dac.winUsbInitError = ERROR_NOT_SUPPORTED;
  sim::AddDeviceInterface(dac);
  Outcome outcome = Send(kPrefix);
  EXPECT_EQ(-1, outcome.result);
  EXPECT_EQ("WinUsb_Initialize failed\n", outcome.output);
  EXPECT_TRUE(sim::ControlTransfers().empty());
  EXPECT_EQ(1u, sim::DeviceOpens().size());
}

TEST_F(DsdRequestTest, ControlTransferFails) {
  sim::DeviceInterface dac = Dac(L"A1");
  dac.transferError = ERROR_GEN_FAILURE;
  sim::AddDeviceInterface(dac);
  Outcome outcome = Send(kPrefix);
  EXPECT_EQ(-1, outcome.result);
  EXPECT_EQ("WinUsb_ControlTransfer failed\n", outcome.output);
  ASSERT_EQ(1u, sim::ControlTransfers().size());
  EXPECT_FALSE(sim::ControlTransfers()[0].succeeded);
}

TEST_F(DsdRequestTest, PrefixIsComparedWithoutLetterCase) {
  sim::DeviceInterface dac = Dac(L"A1");
  dac.instanceId = L"usb\\vid_f1e5&pid_7a11\\a1";
  sim::AddDeviceInterface(dac);
  EXPECT_EQ(0, Send(kPrefix).result);
  EXPECT_EQ(0, Send(L"USB\\VID_F1E5&PID_7A11\\A1").result);
  EXPECT_EQ(2u, sim::ControlTransfers().size());
}

TEST_F(DsdRequestTest, EmptyPrefixMatchesTheFirstReadableInterface) {
  sim::DeviceInterface unreadable = Dac(L"A1");
  unreadable.instanceIdUnreadable = true;
  sim::AddDeviceInterface(unreadable);
  sim::AddDeviceInterface(Dac(L"B2"));
  sim::AddDeviceInterface(Dac(L"C3"));
  EXPECT_EQ(0, Send(L"").result);
  ASSERT_EQ(1u, sim::DeviceOpens().size());
  EXPECT_EQ(Dac(L"B2").devicePath, sim::DeviceOpens()[0].path);
}

TEST_F(DsdRequestTest, OnlyTheFirstOfTwoMatchesIsTried) {
  sim::AddDeviceInterface(Dac(L"A1"));
  sim::AddDeviceInterface(Dac(L"B2"));
  EXPECT_EQ(0, Send(kPrefix).result);
  ASSERT_EQ(1u, sim::DeviceOpens().size());
  EXPECT_EQ(Dac(L"A1").devicePath, sim::DeviceOpens()[0].path);
}

TEST_F(DsdRequestTest, FirstMatchThatCannotBeOpenedEndsTheSearch) {
  sim::DeviceInterface first = Dac(L"A1");
  first.openError = ERROR_SHARING_VIOLATION;
  sim::AddDeviceInterface(first);
  sim::AddDeviceInterface(Dac(L"B2"));
  Outcome outcome = Send(kPrefix);
  EXPECT_EQ(-1, outcome.result);
  EXPECT_EQ("CreateFile failed\n", outcome.output);
  ASSERT_EQ(1u, sim::DeviceOpens().size());
  EXPECT_EQ(first.devicePath, sim::DeviceOpens()[0].path);
}

TEST_F(DsdRequestTest, NonMatchingInterfaceBeforeAMatchingOne) {
  sim::DeviceInterface other = Dac(L"A1");
  other.instanceId = L"USB\\VID_F1E5&PID_0001\\A1";
  sim::AddDeviceInterface(other);
  sim::AddDeviceInterface(Dac(L"B2"));
  EXPECT_EQ(0, Send(kPrefix).result);
  ASSERT_EQ(1u, sim::DeviceOpens().size());
  EXPECT_EQ(Dac(L"B2").devicePath, sim::DeviceOpens()[0].path);
}

TEST_F(DsdRequestTest, InstanceIdsOf100CharactersCannotBeRead) {
  // 99 characters and the terminator fill the 100-character buffer; one more does not fit.
  sim::DeviceInterface tooLong = Dac(L"A1");
  tooLong.instanceId = std::wstring(kPrefix) + L"\\" + std::wstring(100 - 22, L'X');
  ASSERT_EQ(100u, tooLong.instanceId.size());
  sim::AddDeviceInterface(tooLong);
  EXPECT_EQ(-1, Send(kPrefix).result);
  EXPECT_TRUE(sim::DeviceOpens().empty());

  sim::Reset();
  sim::DeviceInterface fits = Dac(L"A1");
  fits.instanceId = std::wstring(kPrefix) + L"\\" + std::wstring(99 - 22, L'X');
  ASSERT_EQ(99u, fits.instanceId.size());
  sim::AddDeviceInterface(fits);
  EXPECT_EQ(0, Send(kPrefix).result);
}

TEST_F(DsdRequestTest, DevicePathThatDoesNotFitTheDetailBufferIsNotUsed) {
  // 260 characters and the terminator fill the detail buffer; a longer path cannot be had, so
  // that interface is passed over and the next one is tried.
  sim::DeviceInterface tooLong = Dac(L"A1");
  tooLong.devicePath = L"\\\\?\\usb#" + std::wstring(261 - 8, L'p');
  sim::AddDeviceInterface(tooLong);
  sim::DeviceInterface fits = Dac(L"B2");
  fits.devicePath = L"\\\\?\\usb#" + std::wstring(260 - 8, L'q');
  sim::AddDeviceInterface(fits);
  EXPECT_EQ(0, Send(kPrefix).result);
  ASSERT_EQ(1u, sim::DeviceOpens().size());
  EXPECT_EQ(fits.devicePath, sim::DeviceOpens()[0].path);
}

TEST_F(DsdRequestTest, EveryCallSendsAgainAndLeavesNothingOpen) {
  sim::AddDeviceInterface(Dac(L"A1"));
  EXPECT_EQ(0, Send(kPrefix).result);
  EXPECT_EQ(0, sim::OpenHandles());
  EXPECT_EQ(0, Send(kPrefix).result);
  EXPECT_EQ(2u, sim::ControlTransfers().size());
  EXPECT_EQ(2u, sim::DeviceOpens().size());
}

TEST_F(DsdRequestTest, SendVendorControlClosesTheHandleOnEveryPath) {
  sim::DeviceInterface dac = Dac(L"A1");
  sim::AddDeviceInterface(dac);
  HANDLE device = OpenDeviceByInstancePrefix(kPrefix);
  ASSERT_NE(nullptr, device);
  EXPECT_EQ(1, sim::OpenHandles());
  testing::internal::CaptureStdout();
  EXPECT_EQ(1, SendVendorControl(device, 0x7A));
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(0, sim::OpenHandles());
  ASSERT_EQ(1u, sim::ControlTransfers().size());
  EXPECT_EQ(0x7A, sim::ControlTransfers()[0].setupPacket[1]);
  EXPECT_EQ(0x7A, sim::ControlTransfers()[0].firstBufferByte);
}

}  // namespace
