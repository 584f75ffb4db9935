// RemoveDeviceInstances and MatchesTargetHardwareId over the simulated device tree.
#include <setupapi.h>

#include <gtest/gtest.h>

#include "cleaner_fixture.h"
#include "device_removal.h"
#include "log.h"
#include "sim/devices.h"
#include "sim/system.h"

namespace {

using Lines = std::vector<std::string>;

sim::DeviceInstance Device(const std::wstring &instanceId, std::vector<std::wstring> hardwareIds,
                           bool present = true) {
  sim::DeviceInstance device;
  device.instanceId = instanceId;
  device.hardwareIds = std::move(hardwareIds);
  device.present = present;
  return device;
}

const wchar_t kFullId[] = L"USB\\VID_F1E5&PID_7A11&REV_0102";

class RemoveDeviceInstancesTest : public CleanerTest {
 protected:
  int RunStage() {
    EXPECT_TRUE(OpenLogStream(kLogPath));
    int result = RemoveDeviceInstances();
    CloseLogStream();
    return result;
  }
  Lines Log() { return ReadLog(kLogPath).messages; }
};

TEST_F(RemoveDeviceInstancesTest, NoMatchingDeviceReportsZeroWithoutPause) {
  sim::AddDeviceInstance(Device(L"USB\\VID_1234&PID_0001\\1", {L"USB\\VID_1234&PID_0001&REV_0100"}));
  EXPECT_EQ(0, RunStage());
  EXPECT_EQ(Lines({"Enumerating device instances (including hidden/phantom devices)...",
                   "Found 0 matching device instance(s)", "No device instances found"}),
            Log());
  EXPECT_TRUE(sim::SleepCalls().empty());
  EXPECT_TRUE(sim::RemovalCalls().empty());
}

TEST_F(RemoveDeviceInstancesTest, PresentAndPhantomInstancesAreRemovedInOrder) {
  sim::AddDeviceInstance(Device(L"USB\\VID_F1E5&PID_7A11\\PHANTOM1", {kFullId}, false));
  sim::AddDeviceInstance(Device(L"USB\\VID_1234&PID_0001\\OTHER", {L"USB\\VID_1234&PID_0001"}));
  sim::AddDeviceInstance(Device(L"USB\\VID_F1E5&PID_7A11\\PRESENT", {kFullId, L"USB\\VID_F1E5&PID_7A11"}));
  sim::AddDeviceInstance(Device(L"USB\\VID_F1E5&PID_7A11\\PHANTOM2", {kFullId}, false));
  EXPECT_EQ(0, RunStage());
  EXPECT_EQ(Lines({"Enumerating device instances (including hidden/phantom devices)...",
                   "Found 3 matching device instance(s)", "Device instance removed successfully",
                   "Device instance removed successfully", "Device instance removed successfully",
                   "Removed 3 device instance(s)"}),
            Log());
  EXPECT_EQ(std::vector<std::wstring>({L"USB\\VID_F1E5&PID_7A11\\PHANTOM1", L"USB\\VID_F1E5&PID_7A11\\PRESENT",
                                       L"USB\\VID_F1E5&PID_7A11\\PHANTOM2"}),
            sim::RemovedDeviceInstances());
  EXPECT_TRUE(sim::DeviceInstanceExists(L"USB\\VID_1234&PID_0001\\OTHER"));
  EXPECT_EQ(std::vector<DWORD>({500}), sim::SleepCalls());
  // Each removal is global, with parameters attached the way SetupAPI expects them.
  ASSERT_EQ(3u, sim::RemovalCalls().size());
  for (const sim::RemovalCall &call : sim::RemovalCalls()) {
    EXPECT_EQ(sizeof(SP_CLASSINSTALL_HEADER), call.headerSize);
    EXPECT_EQ(static_cast<DWORD>(DIF_REMOVE), call.installFunction);
    EXPECT_EQ(static_cast<DWORD>(DI_REMOVEDEVICE_GLOBAL), call.scope);
    EXPECT_EQ(0u, call.hwProfile);
    EXPECT_EQ(sizeof(SP_REMOVEDEVICE_PARAMS), call.paramsSize);
  }
}

TEST_F(RemoveDeviceInstancesTest, OnlyUsbEnumeratedInstancesAreConsidered) {
  sim::DeviceInstance elsewhere = Device(L"ROOT\\MEDIA\\0000", {kFullId});
  elsewhere.enumerator = L"ROOT";
  sim::AddDeviceInstance(elsewhere);
  EXPECT_EQ(0, RunStage());
  EXPECT_TRUE(sim::RemovedDeviceInstances().empty());
  EXPECT_TRUE(sim::DeviceInstanceExists(L"ROOT\\MEDIA\\0000"));
}

TEST_F(RemoveDeviceInstancesTest, InstallerErrorOtherThanAccessDeniedIsAWarning) {
  sim::DeviceInstance busy = Device(L"USB\\VID_F1E5&PID_7A11\\BUSY", {kFullId});
  busy.removeError = static_cast<DWORD>(ERROR_NO_SUCH_DEVINST);
  sim::AddDeviceInstance(busy);
  sim::AddDeviceInstance(Device(L"USB\\VID_F1E5&PID_7A11\\OK", {kFullId}));
  EXPECT_EQ(0, RunStage());
  // SetupAPI's own error numbers carry the top bit and show as negative numbers.
  EXPECT_EQ(Lines({"Enumerating device instances (including hidden/phantom devices)...",
                   "Found 2 matching device instance(s)", "WARNING: SetupDiCallClassInstaller failed: -536870389",
                   "Device instance removed successfully", "Removed 1 device instance(s)"}),
            Log());
  EXPECT_EQ(std::vector<std::wstring>({L"USB\\VID_F1E5&PID_7A11\\OK"}), sim::RemovedDeviceInstances());
}

TEST_F(RemoveDeviceInstancesTest, AccessDeniedStopsTheStage) {
  sim::DeviceInstance denied = Device(L"USB\\VID_F1E5&PID_7A11\\DENIED", {kFullId});
  denied.removeError = ERROR_ACCESS_DENIED;
  sim::AddDeviceInstance(denied);
  sim::AddDeviceInstance(Device(L"USB\\VID_F1E5&PID_7A11\\NEXT", {kFullId}));
  EXPECT_EQ(-20, RunStage());
  EXPECT_EQ(Lines({"Enumerating device instances (including hidden/phantom devices)...",
                   "Found 2 matching device instance(s)", "WARNING: SetupDiCallClassInstaller failed: 5"}),
            Log());
  ASSERT_EQ(1u, sim::RemovalCalls().size());
  EXPECT_TRUE(sim::DeviceInstanceExists(L"USB\\VID_F1E5&PID_7A11\\NEXT"));
  EXPECT_TRUE(sim::SleepCalls().empty());
}

TEST_F(RemoveDeviceInstancesTest, RefusedParametersSkipTheInstallerForThatInstance) {
  sim::DeviceInstance refusing = Device(L"USB\\VID_F1E5&PID_7A11\\REFUSES", {kFullId});
  refusing.setParamsError = ERROR_INVALID_PARAMETER;
  sim::AddDeviceInstance(refusing);
  sim::AddDeviceInstance(Device(L"USB\\VID_F1E5&PID_7A11\\OK", {kFullId}));
  EXPECT_EQ(0, RunStage());
  EXPECT_EQ(Lines({"Enumerating device instances (including hidden/phantom devices)...",
                   "Found 2 matching device instance(s)", "WARNING: SetupDiSetClassInstallParams failed: 87",
                   "Device instance removed successfully", "Removed 1 device instance(s)"}),
            Log());
  ASSERT_EQ(1u, sim::RemovalCalls().size());
  EXPECT_EQ(L"USB\\VID_F1E5&PID_7A11\\OK", sim::RemovalCalls()[0].instanceId);
}

TEST_F(RemoveDeviceInstancesTest, EveryRemovalFailingStillSucceedsWithZeroRemoved) {
  sim::DeviceInstance busy = Device(L"USB\\VID_F1E5&PID_7A11\\BUSY", {kFullId});
  busy.removeError = ERROR_GEN_FAILURE;
  sim::AddDeviceInstance(busy);
  EXPECT_EQ(0, RunStage());
  EXPECT_EQ(Lines({"Enumerating device instances (including hidden/phantom devices)...",
                   "Found 1 matching device instance(s)", "WARNING: SetupDiCallClassInstaller failed: 31",
                   "Removed 0 device instance(s)"}),
            Log());
  EXPECT_EQ(std::vector<DWORD>({500}), sim::SleepCalls());
}

TEST_F(RemoveDeviceInstancesTest, SetThatCannotBeBuiltFailsWithMinus20) {
  sim::FailGetClassDevs(static_cast<DWORD>(ERROR_INVALID_CLASS_INSTALLER));
  EXPECT_EQ(-20, RunStage());
  EXPECT_EQ(Lines({"Enumerating device instances (including hidden/phantom devices)...",
                   "ERROR: SetupDiGetClassDevs failed: -536870387"}),
            Log());
}

// MatchesTargetHardwareId through a set of one device.
class MatchesTargetHardwareIdTest : public CleanerTest {
 protected:
  bool Matches(std::vector<std::wstring> hardwareIds) {
    sim::AddDeviceInstance(Device(L"USB\\VID_F1E5&PID_7A11\\" + std::to_wstring(++count_), std::move(hardwareIds)));
    HDEVINFO set = SetupDiGetClassDevsW(nullptr, L"USB", nullptr, DIGCF_ALLCLASSES);
    EXPECT_NE(INVALID_HANDLE_VALUE, set);
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof(device);
    EXPECT_TRUE(SetupDiEnumDeviceInfo(set, static_cast<DWORD>(count_ - 1), &device));
    bool matches = MatchesTargetHardwareId(set, device);
    SetupDiDestroyDeviceInfoList(set);
    return matches;
  }
  int count_ = 0;
};

TEST_F(MatchesTargetHardwareIdTest, FullIdInAnyLetterCaseMatches) {
  EXPECT_TRUE(Matches({kFullId}));
  EXPECT_TRUE(Matches({L"usb\\vid_f1e5&pid_7a11&rev_0102"}));
  EXPECT_TRUE(Matches({L"Usb\\Vid_F1e5&Pid_7A11&Rev_0102"}));
}

TEST_F(MatchesTargetHardwareIdTest, IdentityWithFurtherTextMatchesWhenItsCaseIsKept) {
  EXPECT_TRUE(Matches({L"USB\\VID_F1E5&PID_7A11&REV_0102&MI_00"}));
  EXPECT_TRUE(Matches({L"HID\\VID_F1E5&PID_7A11&REV_0102"}));
  // Another case and more text: neither the whole-ID rule nor the exact substring rule applies.
  EXPECT_FALSE(Matches({L"usb\\vid_f1e5&pid_7a11&rev_0102&mi_00"}));
}

TEST_F(MatchesTargetHardwareIdTest, OtherProductsAndRevisionsDoNotMatch) {
  EXPECT_FALSE(Matches({L"USB\\VID_F1E5&PID_7A12&REV_0102", L"USB\\VID_F1E5&PID_7A12"}));
  EXPECT_FALSE(Matches({L"USB\\VID_F1E5&PID_7A11&REV_0103", L"USB\\VID_F1E5&PID_7A11"}));
  EXPECT_FALSE(Matches({L"USB\\VID_F1E5&PID_7A11"}));
}

TEST_F(MatchesTargetHardwareIdTest, AnyEntryOfTheListCanMatch) {
  EXPECT_TRUE(Matches({L"USB\\VID_F1E5&PID_7A11", L"USB\\Class_01", kFullId}));
}

TEST_F(MatchesTargetHardwareIdTest, MissingPropertyDoesNotMatch) { EXPECT_FALSE(Matches({})); }

TEST_F(MatchesTargetHardwareIdTest, EmptyFirstEntryEndsTheList) {
  // An empty first entry is the list's end: the target behind it is never reached.
  EXPECT_FALSE(Matches({L"", kFullId}));
}

TEST_F(MatchesTargetHardwareIdTest, ListThatFillsTheBufferExactlyIsRead) {
  // 4096 characters with every terminator: a long first entry, then the target, then the end.
  std::wstring filler(4096 - 2 - (wcslen(kFullId) + 1), L'X');
  EXPECT_TRUE(Matches({filler, kFullId}));
}

TEST_F(MatchesTargetHardwareIdTest, ListLongerThanTheBufferDoesNotMatch) {
  std::wstring filler(4096 - 1 - (wcslen(kFullId) + 1), L'X');
  EXPECT_FALSE(Matches({filler, kFullId}));
}

}  // namespace
