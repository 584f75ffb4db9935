// RunCaptured against the fake pnputil started as a real child process.
#include <gtest/gtest.h>

#include "cleaner_fixture.h"
#include "run_captured.h"
#include "sim/handles.h"
#include "sim/process.h"

namespace {

const DWORD kPoison = 0xDEADBEEF;

class RunCapturedTest : public CleanerTest {
 protected:
  bool Run(const std::wstring &command) {
    exitCode_ = kPoison;
    output_ = L"poison";
    return RunCaptured(command, exitCode_, output_);
  }
  DWORD exitCode_ = kPoison;
  std::wstring output_;
};

TEST_F(RunCapturedTest, CapturesOutputAndErrorWithTheFullExitCode) {
  SetScript(PnputilScript().Command("/delete-driver oem1.inf /force").Out("to output\r\n").Err("to error\r\n").Exit(3010));
  ASSERT_TRUE(Run(L"pnputil.exe /delete-driver oem1.inf /force"));
  EXPECT_EQ(L"to output\r\nto error\r\n", output_);
  EXPECT_EQ(3010u, exitCode_);
  EXPECT_EQ(std::vector<std::string>({"pnputil.exe /delete-driver oem1.inf /force"}), PnputilCalls());
}

TEST_F(RunCapturedTest, ChunksAreJoinedInOrder) {
  PnputilScript script;
  script.Command("/enum-drivers");
  std::wstring expected;
  for (int i = 0; i < 6; ++i) {
    script.Out("chunk " + std::to_string(i) + "\n").Pause(20);
    expected += L"chunk " + std::to_wstring(i) + L"\n";
  }
  SetScript(script);
  ASSERT_TRUE(Run(L"pnputil.exe /enum-drivers"));
  EXPECT_EQ(expected, output_);
  EXPECT_EQ(0u, exitCode_);
}

TEST_F(RunCapturedTest, CharactersSplitBetweenReadsAreJoined) {
  // e-acute, the euro sign and U+1F600: two, three and four bytes of UTF-8.
  const std::string text = "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80!";
  const std::wstring expected = {L'c', L'a', L'f', L'\x00E9', L' ', L'\x20AC', L' ', static_cast<wchar_t>(0xD83D),
                                 static_cast<wchar_t>(0xDE00), L'!'};
  SetScript(PnputilScript().Command("/enum-drivers").Out(text));
  for (DWORD limit : {1u, 2u, 3u, 5u}) {
    sim::SetPipeReadLimit(limit);
    ASSERT_TRUE(Run(L"pnputil.exe /enum-drivers"));
    EXPECT_EQ(expected, output_) << "reads of at most " << limit << " bytes";
  }
}

TEST_F(RunCapturedTest, CharacterSplitBetweenTwoWritesIsJoined) {
  SetScript(PnputilScript().Command("/enum-drivers").Out("a\xE2\x82").Pause(150).Out("\xAC" "b"));
  ASSERT_TRUE(Run(L"pnputil.exe /enum-drivers"));
  EXPECT_EQ(std::wstring({L'a', L'\x20AC', L'b'}), output_);
}

TEST_F(RunCapturedTest, UnfinishedCharacterAtTheEndShowsAsReplacement) {
  SetScript(PnputilScript().Command("/enum-drivers").Out("ok\xE2\x82"));
  ASSERT_TRUE(Run(L"pnputil.exe /enum-drivers"));
  ASSERT_GE(output_.size(), 3u);
  EXPECT_EQ(L"ok", output_.substr(0, 2));
  for (size_t i = 2; i < output_.size(); ++i) EXPECT_EQ(L'\xFFFD', output_[i]);
}

TEST_F(RunCapturedTest, OutputLargerThanThePipeDoesNotBlockTheChild) {
  std::string line(99, 'x');
  PnputilScript script;
  script.Command("/enum-drivers");
  for (int i = 0; i < 40; ++i) script.Out(std::string(8000, static_cast<char>('a' + i % 26)));
  SetScript(script);
  ASSERT_TRUE(Run(L"pnputil.exe /enum-drivers"));
  ASSERT_EQ(40u * 8000u, output_.size());
  EXPECT_EQ(L'a', output_.front());
  EXPECT_EQ(static_cast<wchar_t>(L'a' + 39 % 26), output_.back());
}

TEST_F(RunCapturedTest, ChildStillRunningAfterTheWaitReportsStillActive) {
  sim::CapProcessWaits(100);
  SetScript(PnputilScript().Command("/enum-drivers").Out("done\r\n").Linger(3000));
  ASSERT_TRUE(Run(L"pnputil.exe /enum-drivers"));
  EXPECT_EQ(L"done\r\n", output_);
  EXPECT_EQ(259u, exitCode_);
  EXPECT_EQ(std::vector<DWORD>({30000}), sim::ProcessWaitTimeouts());
}

TEST_F(RunCapturedTest, StartsTheChildHiddenWithOnlyTheWriteEndInherited) {
  ASSERT_TRUE(Run(L"pnputil.exe /enum-drivers"));
  ASSERT_EQ(1u, sim::ProcessLaunches().size());
  const sim::ProcessLaunch &launch = sim::ProcessLaunches()[0];
  EXPECT_EQ(L"C:\\Windows\\System32\\pnputil.exe", launch.program);
  EXPECT_EQ(L"pnputil.exe /enum-drivers", launch.commandLine);
  EXPECT_TRUE(launch.applicationNameNull);
  EXPECT_TRUE(launch.inheritHandles);
  EXPECT_EQ(static_cast<DWORD>(CREATE_NO_WINDOW), launch.creationFlags);
  EXPECT_TRUE(launch.environmentNull);
  EXPECT_TRUE(launch.currentDirectoryNull);
  EXPECT_EQ(sizeof(STARTUPINFOW), launch.startupSize);
  EXPECT_EQ(0x101u, launch.startupFlags);
  EXPECT_EQ(0, launch.showWindow);
  EXPECT_EQ("null", launch.stdInput);
  EXPECT_EQ("pipe-write", launch.stdOutput);
  EXPECT_EQ("pipe-write", launch.stdError);
  EXPECT_EQ(std::vector<std::string>({"pipe-write"}), launch.inherited);
}

TEST_F(RunCapturedTest, MissingProgramLeavesOutputsAndNoHandles) {
  sim::RemoveProgram(L"C:\\Windows\\System32\\pnputil.exe");
  EXPECT_FALSE(Run(L"pnputil.exe /enum-drivers"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
  EXPECT_EQ(kPoison, exitCode_);
  EXPECT_EQ(L"poison", output_);
  EXPECT_EQ(0, sim::OpenHandles());
}

TEST_F(RunCapturedTest, ProgramBesideTheToolIsFoundFirst) {
  wchar_t self[MAX_PATH] = {};
  std::wstring selfPath(self, GetModuleFileNameW(nullptr, self, MAX_PATH));
  std::wstring beside = selfPath.substr(0, selfPath.find_last_of(L'\\') + 1) + L"pnputil.exe";
  sim::InstallProgram(beside, FAKE_PNPUTIL_PATH);
  ASSERT_TRUE(Run(L"pnputil.exe /enum-drivers"));
  ASSERT_EQ(1u, sim::ProcessLaunches().size());
  EXPECT_EQ(beside, sim::ProcessLaunches()[0].program);
}

TEST_F(RunCapturedTest, PipeThatCannotBeCreatedStartsNothing) {
  sim::FailCreatePipe(ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_FALSE(Run(L"pnputil.exe /enum-drivers"));
  EXPECT_TRUE(sim::ProcessLaunches().empty());
  EXPECT_EQ(kPoison, exitCode_);
}

TEST_F(RunCapturedTest, CommandLongerThanItsBufferIsRefused) {
  std::wstring command = L"pnputil.exe " + std::wstring(4096 - 12 - 1, L'a');
  ASSERT_EQ(4095u, command.size());
  EXPECT_TRUE(Run(command));
  EXPECT_FALSE(Run(command + L"a"));
  EXPECT_EQ(1u, sim::ProcessLaunches().size());
}

TEST(CompleteUtf8LengthTest, KeepsOnlyAnUnfinishedLastCharacterBack) {
  const char text[] = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
  // Lengths after each byte, and how many of them form whole characters.
  const size_t complete[] = {0, 1, 1, 3, 3, 3, 6, 6, 6, 6, 10};
  for (size_t length = 0; length <= 10; ++length)
    EXPECT_EQ(complete[length], CompleteUtf8Length(text, length)) << "length " << length;
  // Bytes that start no valid sequence are left for the decoder to replace.
  EXPECT_EQ(2u, CompleteUtf8Length("a\xFF", 2));
  EXPECT_EQ(2u, CompleteUtf8Length("a\x80", 2));
  EXPECT_EQ(4u, CompleteUtf8Length("\x80\x80\x80\x80", 4));
}

}  // namespace
