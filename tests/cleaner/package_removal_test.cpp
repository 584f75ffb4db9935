// RemoveDriverPackages and its parser against scripted pnputil output.
#include <gtest/gtest.h>

#include "cleaner_fixture.h"
#include "localized_enumerations.h"
#include "log.h"
#include "package_removal.h"
#include "sim/machine.h"
#include "sim/process.h"

namespace {

using Lines = std::vector<std::string>;

const char kSearching[] = "Searching for driver packages in Driver Store...";
const char kNoneFound[] = "No matching driver packages found in Driver Store";
const char kFoundInf[] = "Found matching original name: vantrel_rev0102.inf";
const char kFoundId[] = "Found matching hardware ID in driver package";

// The warning before kNoneFound when the enumeration listed packages, none of them the device's.
std::string ListedNoneMatching(int names, const std::string &first) {
  return "WARNING: " + std::to_string(names) + " published name(s) listed (first: " + first +
         "), none of them with vantrel_rev0102.inf or VID_F1E5&PID_7A11&REV_0102";
}

class RemoveDriverPackagesTest : public CleanerTest {
 protected:
  int RunStage(bool initialFlag = false) {
    rebootRequired_ = initialFlag;
    EXPECT_TRUE(OpenLogStream(kLogPath));
    int result = RemoveDriverPackages(rebootRequired_);
    CloseLogStream();
    return result;
  }
  // The enumeration as pnputil writes it, with this text as its whole output.
  void Enumeration(const std::string &text) { SetScript(PnputilScript().Command("/enum-drivers").Out(text)); }
  Lines Log() { return ReadLog(kLogPath).messages; }
  bool rebootRequired_ = false;
};

TEST_F(RemoveDriverPackagesTest, StoreWithoutTheDevicesPackagesDeletesNothing) {
  SetScript(PnputilScript().Command("/enum-drivers").Block("oem1.inf", "other.inf").Block("oem2.inf", "more.inf"));
  EXPECT_EQ(0, RunStage());
  EXPECT_EQ(Lines({kSearching, ListedNoneMatching(2, "oem1.inf"), kNoneFound}), Log());
  EXPECT_EQ(Lines({"pnputil.exe /enum-drivers"}), PnputilCalls());
  EXPECT_FALSE(rebootRequired_);
}

TEST_F(RemoveDriverPackagesTest, PaddedPublishedNameEndingInCrIsTrimmed) {
  SetScript(PnputilScript()
                .Command("/enum-drivers")
                .Out("Published Name:     oem12.inf   \r\nOriginal Name:      vantrel_rev0102.inf\r\n")
                .Command("/delete-driver oem12.inf /uninstall /force")
                .Exit(0));
  EXPECT_EQ(0, RunStage());
  EXPECT_EQ(Lines({kSearching, kFoundInf, "Added driver package for removal: oem12.inf",
                   "Removing driver package: oem12.inf", "Driver package removed successfully: oem12.inf"}),
            Log());
  EXPECT_EQ(Lines({"pnputil.exe /enum-drivers", "pnputil.exe /delete-driver oem12.inf /uninstall /force"}),
            PnputilCalls());
  ASSERT_EQ(2u, sim::ProcessLaunches().size());
  EXPECT_EQ(L"pnputil.exe /delete-driver oem12.inf /uninstall /force", sim::ProcessLaunches()[1].commandLine);
}

TEST_F(RemoveDriverPackagesTest, InfNameInAnotherLetterCaseDoesNotMatch) {
  Enumeration("Published Name: oem12.inf\r\nOriginal Name: VANTREL_REV0102.INF\r\n");
  EXPECT_EQ(0, RunStage());
  EXPECT_EQ(Lines({kSearching, ListedNoneMatching(1, "oem12.inf"), kNoneFound}), Log());
}

TEST_F(RemoveDriverPackagesTest, InfNameOutsideAnOriginalNameLineDoesNotMatch) {
  Enumeration("Published Name: oem12.inf\r\nProvider Name: vantrel_rev0102.inf\r\n");
  EXPECT_EQ(0, RunStage());
  EXPECT_EQ(Lines({kSearching, ListedNoneMatching(1, "oem12.inf"), kNoneFound}), Log());
}

TEST_F(RemoveDriverPackagesTest, BothMatchesInOneBlockAddThePackageOnce) {
  SetScript(PnputilScript()
                .Command("/enum-drivers")
                .Out("Published Name: oem12.inf\r\nOriginal name: vantrel_rev0102.inf\r\n"
                     "Hardware ID: USB\\VID_F1E5&PID_7A11&REV_0102\r\n")
                .Command("*")
                .Exit(0));
  EXPECT_EQ(0, RunStage());
  EXPECT_EQ(Lines({kSearching, kFoundInf, "Added driver package for removal: oem12.inf", kFoundId,
                   "Removing driver package: oem12.inf", "Driver package removed successfully: oem12.inf"}),
            Log());
}

TEST_F(RemoveDriverPackagesTest, MatchBeforeAnyPublishedNameAddsNothing) {
  Enumeration(
      "Device: USB\\VID_F1E5&PID_7A11&REV_0102\r\n"
      "Published Name: oem4.inf\r\nOriginal Name: other.inf\r\n");
  EXPECT_EQ(0, RunStage());
  EXPECT_EQ(Lines({kSearching, kFoundId, ListedNoneMatching(1, "oem4.inf"), kNoneFound}), Log());
}

TEST_F(RemoveDriverPackagesTest, PackageListedTwiceIsDeletedOnce) {
  SetScript(PnputilScript()
                .Command("/enum-drivers")
                .Block("oem12.inf", "vantrel_rev0102.inf")
                .Block("oem3.inf", "other.inf")
                .Block("oem12.inf", "vantrel_rev0102.inf")
                .Command("*")
                .Exit(0));
  EXPECT_EQ(0, RunStage());
  EXPECT_EQ(Lines({kSearching, kFoundInf, "Added driver package for removal: oem12.inf", kFoundInf,
                   "Removing driver package: oem12.inf", "Driver package removed successfully: oem12.inf"}),
            Log());
  EXPECT_EQ(2u, PnputilCalls().size());
}

TEST_F(RemoveDriverPackagesTest, FallbackWithoutUninstallSucceeds) {
  SetScript(PnputilScript()
                .Command("/enum-drivers")
                .Block("oem12.inf", "vantrel_rev0102.inf")
                .Command("/delete-driver oem12.inf /uninstall /force")
                .Out("Failed to uninstall the driver.\r\n")
                .Err("One or more devices are presently installed.\r\n")
                .Exit(3010)
                .Command("/delete-driver oem12.inf /force")
                .Out("Driver package deleted successfully.\r\n")
                .Exit(0));
  for (bool initial : {false, true}) {
    EXPECT_EQ(0, RunStage(initial));
    EXPECT_EQ(initial, rebootRequired_);
  }
  Lines expected = {kSearching,
                    kFoundInf,
                    "Added driver package for removal: oem12.inf",
                    "Removing driver package: oem12.inf",
                    "WARNING: pnputil returned exit code 3010",
                    "Output: Failed to uninstall the driver.\r\r\nOne or more devices are presently installed.\r\r\n",
                    "Driver package removed (without /uninstall): oem12.inf"};
  Lines twice = expected;
  twice.insert(twice.end(), expected.begin(), expected.end());
  EXPECT_EQ(twice, Log());
  EXPECT_EQ(Lines({"pnputil.exe /enum-drivers", "pnputil.exe /delete-driver oem12.inf /uninstall /force",
                   "pnputil.exe /delete-driver oem12.inf /force", "pnputil.exe /enum-drivers",
                   "pnputil.exe /delete-driver oem12.inf /uninstall /force",
                   "pnputil.exe /delete-driver oem12.inf /force"}),
            PnputilCalls());
}

TEST_F(RemoveDriverPackagesTest, BothCommandsFailingRaiseTheFlagAndGoOn) {
  SetScript(PnputilScript()
                .Command("/enum-drivers")
                .Block("oem12.inf", "vantrel_rev0102.inf")
                .Block("oem13.inf", "vantrel_rev0102.inf")
                .Command("/delete-driver oem12.inf /uninstall /force")
                .Exit(0xFFFFFFFF)
                .Command("/delete-driver oem12.inf /force")
                .Exit(1)
                .Command("/delete-driver oem13.inf /uninstall /force")
                .Exit(0));
  EXPECT_EQ(0, RunStage());
  EXPECT_TRUE(rebootRequired_);
  EXPECT_EQ(Lines({kSearching, kFoundInf, "Added driver package for removal: oem12.inf", kFoundInf,
                   "Added driver package for removal: oem13.inf", "Removing driver package: oem12.inf",
                   "WARNING: pnputil returned exit code -1", "Output: ", "Driver removal may require reboot",
                   "Removing driver package: oem13.inf", "Driver package removed successfully: oem13.inf"}),
            Log());
}

TEST_F(RemoveDriverPackagesTest, MissingPnputilFailsWithMinus30) {
  sim::RemoveProgram(L"C:\\Windows\\System32\\pnputil.exe");
  EXPECT_EQ(-30, RunStage());
  EXPECT_EQ(Lines({kSearching, "ERROR: Failed to run pnputil /enum-drivers"}), Log());
}

TEST_F(RemoveDriverPackagesTest, DeleteThatCannotStartAbandonsTheRest) {
  SetScript(PnputilScript()
                .Command("/enum-drivers")
                .Block("oem12.inf", "vantrel_rev0102.inf")
                .Block("oem13.inf", "vantrel_rev0102.inf"));
  sim::FailCreateProcess(ERROR_NOT_ENOUGH_MEMORY, 1);
  EXPECT_EQ(-30, RunStage());
  EXPECT_EQ(Lines({kSearching, kFoundInf, "Added driver package for removal: oem12.inf", kFoundInf,
                   "Added driver package for removal: oem13.inf", "Removing driver package: oem12.inf",
                   "ERROR: Failed to run pnputil /delete-driver"}),
            Log());
  EXPECT_EQ(1u, PnputilCalls().size());
}

TEST_F(RemoveDriverPackagesTest, FallbackThatCannotStartRaisesTheFlag) {
  SetScript(PnputilScript()
                .Command("/enum-drivers")
                .Block("oem12.inf", "vantrel_rev0102.inf")
                .Command("*")
                .Out("busy")
                .Exit(2));
  sim::FailCreateProcess(ERROR_NOT_ENOUGH_MEMORY, 2);
  EXPECT_EQ(0, RunStage());
  EXPECT_TRUE(rebootRequired_);
  Lines log = Log();
  ASSERT_GE(log.size(), 3u);
  EXPECT_EQ(Lines({"WARNING: pnputil returned exit code 2", "Output: busy", "Driver removal may require reboot"}),
            Lines(log.end() - 3, log.end()));
}

TEST_F(RemoveDriverPackagesTest, EnumerationExitCodeIsNotLookedAt) {
  SetScript(PnputilScript().Command("/enum-drivers").Block("oem12.inf", "vantrel_rev0102.inf").Exit(5).Command("*"));
  EXPECT_EQ(0, RunStage());
  EXPECT_EQ(2u, PnputilCalls().size());
}

TEST_F(RemoveDriverPackagesTest, NameTooLongForTheCommandIsSkippedWithAWarning) {
  // "pnputil.exe /delete-driver " + name + " /uninstall /force" and its terminator in 512.
  const size_t fixed = 27 + 18;
  std::string fits(511 - fixed, 'f');
  std::string tooLong(512 - fixed, 'g');
  SetScript(PnputilScript()
                .Command("/enum-drivers")
                .Block(tooLong, "vantrel_rev0102.inf")
                .Block(fits, "vantrel_rev0102.inf")
                .Command("*")
                .Exit(0));
  EXPECT_EQ(0, RunStage());
  EXPECT_EQ(Lines({kSearching, kFoundInf, "Added driver package for removal: " + tooLong, kFoundInf,
                   "Added driver package for removal: " + fits,
                   "WARNING: Published name too long for the delete command, package skipped: " + tooLong,
                   "Removing driver package: " + fits, "Driver package removed successfully: " + fits}),
            Log());
  EXPECT_EQ(Lines({"pnputil.exe /enum-drivers", "pnputil.exe /delete-driver " + fits + " /uninstall /force"}),
            PnputilCalls());
  EXPECT_FALSE(rebootRequired_);
}

TEST_F(RemoveDriverPackagesTest, NameThatWouldSplitIntoArgumentsIsSkipped) {
  Enumeration("Published Name: oem12.inf oem1.inf\r\nOriginal Name: vantrel_rev0102.inf\r\n");
  EXPECT_EQ(0, RunStage());
  EXPECT_EQ(Lines({kSearching, kFoundInf, "Added driver package for removal: oem12.inf oem1.inf",
                   "WARNING: Published name is not a single command-line argument, package skipped: oem12.inf oem1.inf"}),
            Log());
  EXPECT_EQ(1u, PnputilCalls().size());
}

TEST_F(RemoveDriverPackagesTest, NamesWithTabsQuotesOrControlCharactersAreSkipped) {
  Enumeration("Published Name: oem1\t.inf\r\nOriginal Name: vantrel_rev0102.inf\r\n"
              "Published Name: \"oem2.inf\r\nOriginal Name: vantrel_rev0102.inf\r\n"
              "Published Name: oem3\x01.inf\r\nOriginal Name: vantrel_rev0102.inf\r\n");
  EXPECT_EQ(0, RunStage());
  Lines log = Log();
  int skipped = 0;
  for (const std::string &line : log)
    if (line.rfind("WARNING: Published name is not a single command-line argument, package skipped: ", 0) == 0)
      ++skipped;
  EXPECT_EQ(3, skipped);
  EXPECT_EQ(1u, PnputilCalls().size());  // the enumeration only
}

TEST_F(RemoveDriverPackagesTest, NameOfBlanksOnlyCountsAsEmpty) {
  Enumeration("Published Name: \t  \r\nOriginal Name: vantrel_rev0102.inf\r\nPublished Name:\r\n"
              "Hardware ID: USB\\VID_F1E5&PID_7A11&REV_0102\r\n");
  EXPECT_EQ(0, RunStage());
  EXPECT_EQ(Lines({kSearching, kFoundInf, kFoundId,
                   "WARNING: No published name recognised in 4 line(s) of pnputil output, such as: Published Name:",
                   kNoneFound}),
            Log());
  EXPECT_EQ(1u, PnputilCalls().size());
}

TEST_F(RemoveDriverPackagesTest, BlockWhoseNameCannotBeReadIsNotTakenForThePreviousOne) {
  Enumeration(
      "Published Name: oem3.inf\r\nOriginal Name: other_vendor.inf\r\n\r\n"
      "Published Name oem12.inf\r\nOriginal Name: vantrel_rev0102.inf\r\n");
  EXPECT_EQ(0, RunStage());
  EXPECT_EQ(Lines({kSearching, kFoundInf, ListedNoneMatching(1, "oem3.inf"), kNoneFound}), Log());
  EXPECT_EQ(1u, PnputilCalls().size());
}

TEST_F(RemoveDriverPackagesTest, LinesEndingInLineFeedOnlyAndNoFinalLineEnd) {
  SetScript(PnputilScript()
                .Command("/enum-drivers")
                .Out("Published name:oem5.inf\nOriginal Name:\tvantrel_rev0102.inf")
                .Command("/delete-driver oem5.inf /uninstall /force")
                .Exit(0));
  EXPECT_EQ(0, RunStage());
  EXPECT_EQ(Lines({"pnputil.exe /enum-drivers", "pnputil.exe /delete-driver oem5.inf /uninstall /force"}),
            PnputilCalls());
}

// Every language's store, delivered whole and in reads of a few bytes that split the code page's
// characters: the device's packages are deleted, each once, and nothing else.
TEST_F(RemoveDriverPackagesTest, EnumerationInAnyLanguageDeletesExactlyTheDevicesPackages) {
  for (DWORD readLimit : {0u, 5u}) {
    for (const EnumerationLanguage &language : EnumerationLanguages()) {
      SCOPED_TRACE(std::string(language.name) + ", reads of at most " + std::to_string(readLimit) + " bytes");
      sim::SetPipeReadLimit(readLimit);
      SetScript(PnputilScript().Command("/enum-drivers").Out(LocalizedEnumeration(language)).Command("*").Exit(0));
      sim::WriteFile(L"C:\\Tests\\pnputil.script.calls", "");
      sim::WriteFile(kLogPath, "");
      EXPECT_EQ(0, RunStage());
      Lines calls = {"pnputil.exe /enum-drivers"}, log = {kSearching}, removals;
      for (const std::string &name : ExpectedDeletions(language)) {
        calls.push_back("pnputil.exe /delete-driver " + name + " /uninstall /force");
        log.insert(log.end(), {kFoundInf, "Added driver package for removal: " + name});
        removals.insert(removals.end(),
                        {"Removing driver package: " + name, "Driver package removed successfully: " + name});
      }
      log.insert(log.end(), removals.begin(), removals.end());
      EXPECT_EQ(calls, PnputilCalls());
      EXPECT_EQ(log, Log());
    }
  }
}

TEST_F(RemoveDriverPackagesTest, StoreWithoutTheDeviceOrOutputOfUnknownFormIsReportedAsSuch) {
  const EnumerationLanguage &german = EnumerationLanguages()[1];
  Enumeration(std::string(german.title) + "\r\n\r\n" + EnumerationBlock(german, "oem3.inf", "other_vendor.inf") +
              EnumerationBlock(german, "oem4.inf", "vantrel_rev0103.inf"));
  EXPECT_EQ(0, RunStage());
  EXPECT_EQ(Lines({kSearching, ListedNoneMatching(2, "oem3.inf"), kNoneFound}), Log());

  // A listing without colons, in code page 932: what it held is named in the log, which stays UTF-8.
  sim::WriteFile(kLogPath, "");
  Enumeration("\x8C\xF6\x8A\x4A\x96\xBC = oem12.inf\r\n\x8C\xB3\x82\xCC\x96\xBC\x91\x4F = vantrel_rev0102.inf\r\n");
  EXPECT_EQ(0, RunStage());
  Lines log = Log();
  ASSERT_EQ(3u, log.size());
  EXPECT_EQ(Lines({kSearching, kNoneFound}), Lines({log[0], log[2]}));
  EXPECT_EQ("WARNING: No published name recognised in 2 line(s) of pnputil output, such as: "
            "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBDJ\xEF\xBF\xBD\xEF\xBF\xBD = oem12.inf",
            log[1]);
  EXPECT_EQ(Lines(2, "pnputil.exe /enum-drivers"), PnputilCalls());
}

// A delete that fails with a message in code page 850: the log shows it with the letter it cannot
// decode replaced, and every other character in its place.
TEST_F(RemoveDriverPackagesTest, FailureTextInTheConsoleCodePageReachesTheLogAsUtf8) {
  SetScript(PnputilScript()
                .Command("/enum-drivers")
                .Block("oem12.inf", "vantrel_rev0102.inf")
                .Command("/delete-driver oem12.inf /uninstall /force")
                .Out("Fehler beim L\x94schen: oem12.inf\r\n")
                .Exit(5)
                .Command("/delete-driver oem12.inf /force")
                .Exit(0));
  EXPECT_EQ(0, RunStage());
  Lines log = Log();
  ASSERT_EQ(7u, log.size());
  EXPECT_EQ("Output: Fehler beim L\xEF\xBF\xBDschen: oem12.inf\r\r\n", log[5]);
}

TEST(FindDriverPackagesTest, EmptyOutputHasNoPackages) {
  EXPECT_TRUE(FindDriverPackages(L"").empty());
  EXPECT_TRUE(FindDriverPackages(L"\n\n\r\n").empty());
}

TEST(FindDriverPackagesTest, MatchesAfterTheNextPublishedNameBelongToIt) {
  EXPECT_EQ(std::vector<std::wstring>({L"oem2.inf"}),
            FindDriverPackages(L"Published Name: oem1.inf\nProvider: x\nPublished Name: oem2.inf\n"
                               L"Extended: VID_F1E5&PID_7A11&REV_0102\n"));
  // Once matched, the block's later lines do not add it again, and the next block starts clean.
  EXPECT_EQ(std::vector<std::wstring>({L"oem1.inf"}),
            FindDriverPackages(L"Published Name: oem1.inf\nOriginal Name: vantrel_rev0102.inf\n"
                               L"VID_F1E5&PID_7A11&REV_0102\nPublished Name: oem2.inf\nOriginal Name: a.inf\n"));
}

// Only oem<digits>.inf starts a block by its value, and never on a line with the English
// original-name label: the device's package keeps its published name.
TEST(FindDriverPackagesTest, ValuesThatOnlyResembleAPublishedNameStartNoBlock) {
  EXPECT_EQ(std::vector<std::wstring>({L"oem5.inf"}),
            FindDriverPackages(L"Published Name: oem5.inf\r\nOriginal Name: oem77.inf\r\n"
                               L"Hardware ID: USB\\VID_F1E5&PID_7A11&REV_0102\r\n"));
  for (const wchar_t *value : {L"oem.inf", L"oem6a.inf", L"oem6.inf.old", L"xoem6.inf", L"oem 6.inf"})
    EXPECT_EQ(std::vector<std::wstring>({L"oem6.inf"}),
              FindDriverPackages(L"Nom publi\u00E9 : oem6.inf\r\nDivers : " + std::wstring(value) +
                                 L"\r\nNom d'origine : Vantrel_Rev0102.inf\r\n"))
        << Utf8(value);
}

TEST(FindDriverPackagesTest, ValueAfterTheFirstColonIsTheName) {
  EXPECT_EQ(std::vector<std::wstring>({L"oem9.inf:x"}),
            FindDriverPackages(L"Published Name : oem9.inf:x\r\nOriginal Name : vantrel_rev0102.inf\r\n"));
}

}  // namespace
