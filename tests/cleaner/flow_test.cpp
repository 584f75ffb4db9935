// The entry routine: command line, log placement, elevation, stage order, verdict, exit codes.
#include <setupapi.h>

#include <gtest/gtest.h>

#include "cleaner_fixture.h"
#include "flow.h"
#include "sim/devices.h"
#include "sim/machine.h"
#include "sim/process.h"
#include "sim/system.h"

namespace {

using Lines = std::vector<std::string>;

const char kRule[] = "========================================";
const Lines kBanner = {kRule, "devpurge for Vantrel REV_0102", kRule};

Lines Concat(std::initializer_list<Lines> parts) {
  Lines all;
  for (auto &part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

sim::DeviceInstance Vantrel(const wchar_t *serial, bool present) {
  sim::DeviceInstance device;
  device.instanceId = std::wstring(L"USB\\VID_F1E5&PID_7A11\\") + serial;
  device.hardwareIds = {L"USB\\VID_F1E5&PID_7A11&REV_0102", L"USB\\VID_F1E5&PID_7A11"};
  device.present = present;
  return device;
}

const Lines kNoDevices = {"Enumerating device instances (including hidden/phantom devices)...",
                          "Found 0 matching device instance(s)", "No device instances found"};
const Lines kNoPackages = {"Searching for driver packages in Driver Store...",
                           "No matching driver packages found in Driver Store"};

class FlowTest : public CleanerTest {};

TEST_F(FlowTest, WholeRunRemovesDeviceAndPackageAndSucceeds) {
  sim::AddDeviceInstance(Vantrel(L"A1", true));
  SetScript(PnputilScript()
                .Command("/enum-drivers")
                .Block("oem3.inf", "other_vendor.inf")
                .Block("oem12.inf", "vantrel_rev0102.inf")
                .Command("/delete-driver oem12.inf /uninstall /force")
                .Out("Driver package deleted successfully.\r\n")
                .Exit(0));
  EXPECT_EQ(0, RunDevpurge({L"--log", kLogPath}));
  LogContents log = ReadLog(kLogPath);
  EXPECT_TRUE(log.startsWithBom);
  EXPECT_TRUE(log.wellFormed);
  EXPECT_EQ(Concat({kBanner,
                    {"Running as Administrator: OK",
                     "Enumerating device instances (including hidden/phantom devices)...",
                     "Found 1 matching device instance(s)", "Device instance removed successfully",
                     "Removed 1 device instance(s)", "Searching for driver packages in Driver Store...",
                     "Found matching original name: vantrel_rev0102.inf", "Added driver package for removal: oem12.inf",
                     "Removing driver package: oem12.inf", "Driver package removed successfully: oem12.inf",
                     "Device tree re-enumerated", kRule, "Cleanup complete - SUCCESS", kRule}}),
            log.messages);
  EXPECT_EQ(Lines({"pnputil.exe /enum-drivers", "pnputil.exe /delete-driver oem12.inf /uninstall /force"}),
            PnputilCalls());
  // The whole tree, from its located root, is enumerated again after both stages.
  ASSERT_EQ(1u, sim::ReenumerateCalls().size());
  EXPECT_EQ(sim::kRootDevInst, sim::ReenumerateCalls()[0].devInst);
  EXPECT_EQ(0u, sim::ReenumerateCalls()[0].flags);
}

TEST_F(FlowTest, RootThatCannotBeLocatedIsStillReportedAsReEnumerated) {
  // The re-enumeration's outcome is not examined: the line is written in every case.
  sim::FailLocateRoot(CR_FAILURE);
  EXPECT_EQ(0, RunDevpurge({L"--log", kLogPath}));
  EXPECT_EQ(Concat({kBanner, {"Running as Administrator: OK"}, kNoDevices, kNoPackages,
                    {"Device tree re-enumerated", kRule, "Cleanup complete - SUCCESS", kRule}}),
            ReadLog(kLogPath).messages);
  EXPECT_TRUE(sim::ReenumerateCalls().empty());
}

TEST_F(FlowTest, WithoutArgumentsTheDefaultFolderIsCreatedAndUsed) {
  EXPECT_FALSE(sim::FileExists(kDefaultLogPath));
  EXPECT_EQ(0, RunDevpurge({}));
  LogContents log = ReadLog(L"C:\\ProgramData\\devpurge\\devpurge.log");
  ASSERT_TRUE(log.exists);
  EXPECT_EQ(Concat({kBanner, {"Running as Administrator: OK"}, kNoDevices, kNoPackages,
                    {"Device tree re-enumerated", kRule, "Cleanup complete - SUCCESS", kRule}}),
            log.messages);
}

TEST_F(FlowTest, LogOptionInAnyCaseWithBareNameWritesToCurrentFolder) {
  sim::SetCurrentFolder(L"C:\\Users\\admin\\Desktop");
  sim::CreateDirectory(L"C:\\Users\\admin\\Desktop");
  EXPECT_EQ(0, RunDevpurge({L"--LOG", L"x.log"}));
  EXPECT_TRUE(ReadLog(L"C:\\Users\\admin\\Desktop\\x.log").exists);
  EXPECT_FALSE(sim::FileExists(kDefaultLogPath));
  EXPECT_EQ(0, RunDevpurge({L"--Log", L"y.log"}));
  EXPECT_TRUE(ReadLog(L"C:\\Users\\admin\\Desktop\\y.log").exists);
}

TEST_F(FlowTest, LastLogOptionWins) {
  EXPECT_EQ(0, RunDevpurge({L"--log", L"C:\\Logs\\a.log", L"--log", L"C:\\Logs\\b.log"}));
  EXPECT_FALSE(sim::FileExists(L"C:\\Logs\\a.log"));
  EXPECT_TRUE(ReadLog(L"C:\\Logs\\b.log").exists);
}

TEST_F(FlowTest, TrailingLogOptionIsIgnored) {
  EXPECT_EQ(0, RunDevpurge({L"--log", L"C:\\Logs\\a.log", L"--log"}));
  EXPECT_TRUE(ReadLog(L"C:\\Logs\\a.log").exists);
  EXPECT_FALSE(sim::FileExists(kDefaultLogPath));
  EXPECT_EQ(0, RunDevpurge({L"--log"}));
  EXPECT_TRUE(ReadLog(kDefaultLogPath).exists);
}

TEST_F(FlowTest, OnlyTheWholeOptionCounts) {
  sim::SetCurrentFolder(L"C:\\Work");
  sim::CreateDirectory(L"C:\\Work");
  EXPECT_EQ(0, RunDevpurge({L"--logfile", L"a.log", L"-log", L"b.log", L"--log=c.log", L"\x2014log", L"d.log"}));
  EXPECT_TRUE(ReadLog(kDefaultLogPath).exists);
  for (const wchar_t *name : {L"C:\\Work\\a.log", L"C:\\Work\\b.log", L"C:\\Work\\c.log", L"C:\\Work\\d.log"})
    EXPECT_FALSE(sim::FileExists(name)) << Utf8(name);
}

TEST_F(FlowTest, ValueAfterTheOptionIsTakenAsItStands) {
  sim::SetCurrentFolder(L"C:\\Work");
  sim::CreateDirectory(L"C:\\Work");
  EXPECT_EQ(0, RunDevpurge({L"--log", L"--log", L"C:\\Logs\\other.log"}));
  EXPECT_TRUE(ReadLog(L"C:\\Work\\--log").exists);
  EXPECT_FALSE(sim::FileExists(L"C:\\Logs\\other.log"));
}

TEST_F(FlowTest, MissingFoldersAreCreatedWithForwardSlashesToo) {
  EXPECT_EQ(0, RunDevpurge({L"--log", L"C:\\Deep\\er\\still/run.log"}));
  EXPECT_TRUE(ReadLog(L"C:\\Deep\\er\\still\\run.log").exists);
}

TEST_F(FlowTest, LogThatCannotBeOpenedEndsWithMinus30AndNothingElse) {
  // A file stands where the folder would have to be.
  sim::WriteFile(L"C:\\Blocked", "not a folder");
  sim::AddDeviceInstance(Vantrel(L"A1", true));
  EXPECT_EQ(-30, RunDevpurge({L"--log", L"C:\\Blocked\\sub\\run.log"}));
  EXPECT_FALSE(sim::FileExists(L"C:\\Blocked\\sub\\run.log"));
  EXPECT_TRUE(sim::RemovedDeviceInstances().empty());
  EXPECT_TRUE(sim::ProcessLaunches().empty());

  sim::WriteFile(kLogPath, "held");
  sim::LockFile(kLogPath);
  EXPECT_EQ(-30, RunDevpurge({L"--log", kLogPath}));
  EXPECT_TRUE(sim::RemovedDeviceInstances().empty());
  EXPECT_TRUE(sim::ProcessLaunches().empty());
}

TEST_F(FlowTest, WithoutElevationNothingIsTouched) {
  sim::SetTokenElevation(0);
  sim::AddDeviceInstance(Vantrel(L"A1", true));
  EXPECT_EQ(-10, RunDevpurge({L"--log", kLogPath}));
  EXPECT_EQ(Concat({kBanner, {"ERROR: Not running as Administrator"}}), ReadLog(kLogPath).messages);
  EXPECT_TRUE(sim::RemovedDeviceInstances().empty());
  EXPECT_TRUE(sim::ProcessLaunches().empty());
  EXPECT_TRUE(sim::ReenumerateCalls().empty());
}

TEST_F(FlowTest, ElevationCountsOnlyWhenReportedAsExactlyOne) {
  sim::SetTokenElevation(2);
  EXPECT_EQ(-10, RunDevpurge({L"--log", kLogPath}));
  EXPECT_EQ(Concat({kBanner, {"ERROR: Not running as Administrator"}}), ReadLog(kLogPath).messages);
}

TEST_F(FlowTest, TokenThatCannotBeOpenedOrQueriedCountsAsNotElevated) {
  sim::FailOpenProcessToken(ERROR_ACCESS_DENIED);
  EXPECT_EQ(-10, RunDevpurge({L"--log", L"C:\\Logs\\open.log"}));
  EXPECT_EQ(Concat({kBanner, {"ERROR: Not running as Administrator"}}), ReadLog(L"C:\\Logs\\open.log").messages);
  sim::FailTokenQuery(ERROR_INVALID_PARAMETER);
  EXPECT_EQ(-10, RunDevpurge({L"--log", L"C:\\Logs\\query.log"}));
  EXPECT_EQ(Concat({kBanner, {"ERROR: Not running as Administrator"}}), ReadLog(L"C:\\Logs\\query.log").messages);
  EXPECT_TRUE(sim::ProcessLaunches().empty());
}

TEST_F(FlowTest, FailedDeviceStageStopsBeforePnputil) {
  sim::FailGetClassDevs(ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(-20, RunDevpurge({L"--log", kLogPath}));
  EXPECT_EQ(Concat({kBanner,
                    {"Running as Administrator: OK",
                     "Enumerating device instances (including hidden/phantom devices)...",
                     "ERROR: SetupDiGetClassDevs failed: 8", "Device removal failed with code: -20"}}),
            ReadLog(kLogPath).messages);
  EXPECT_TRUE(sim::ProcessLaunches().empty());
  EXPECT_TRUE(sim::ReenumerateCalls().empty());
}

TEST_F(FlowTest, MissingPnputilEndsWithMinus30WithoutVerdict) {
  sim::RemoveProgram(L"C:\\Windows\\System32\\pnputil.exe");
  EXPECT_EQ(-30, RunDevpurge({L"--log", L"C:\\Logs\\run.log"}));
  LogContents log = ReadLog(L"C:\\Logs\\run.log");
  ASSERT_GE(log.messages.size(), 3u);
  EXPECT_EQ(Lines({"Searching for driver packages in Driver Store...", "ERROR: Failed to run pnputil /enum-drivers",
                   "Driver package removal failed with code: -30"}),
            Lines(log.messages.end() - 3, log.messages.end()));
  EXPECT_TRUE(sim::ReenumerateCalls().empty());
}

TEST_F(FlowTest, PackageThatResistsDeletionRequiresReboot) {
  SetScript(PnputilScript()
                .Command("/enum-drivers")
                .Block("oem7.inf", "vantrel_rev0102.inf")
                .Command("*")
                .Out("Failed to delete driver package: Access is denied.\r\n")
                .Exit(5));
  EXPECT_EQ(1, RunDevpurge({L"--log", kLogPath}));
  LogContents log = ReadLog(kLogPath);
  ASSERT_GE(log.messages.size(), 5u);
  EXPECT_EQ(Lines({"Driver removal may require reboot", "Device tree re-enumerated", kRule,
                   "Cleanup complete - REBOOT REQUIRED", kRule}),
            Lines(log.messages.end() - 5, log.messages.end()));
}

TEST_F(FlowTest, TwoRunsAppendTwoSectionsWithOneMark) {
  EXPECT_EQ(0, RunDevpurge({L"--log", kLogPath}));
  EXPECT_EQ(0, RunDevpurge({L"--log", kLogPath}));
  LogContents log = ReadLog(kLogPath);
  EXPECT_TRUE(log.startsWithBom);
  EXPECT_EQ(1, log.boms);
  EXPECT_TRUE(log.wellFormed);
  Lines one = Concat({kBanner, {"Running as Administrator: OK"}, kNoDevices, kNoPackages,
                      {"Device tree re-enumerated", kRule, "Cleanup complete - SUCCESS", kRule}});
  EXPECT_EQ(Concat({one, one}), log.messages);
}

}  // namespace
