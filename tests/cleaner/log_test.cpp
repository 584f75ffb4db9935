// LogLine and the UTF-8 append stream under it.
#include <gtest/gtest.h>

#include "cleaner_fixture.h"
#include "log.h"
#include "sim/machine.h"
#include "sim/system.h"

namespace {

const char kBom[] = "\xEF\xBB\xBF";

class LogLineTest : public CleanerTest {
 protected:
  std::string FileBytes() {
    std::string bytes;
    EXPECT_TRUE(sim::ReadFile(kLogPath, &bytes));
    return bytes;
  }
};

TEST_F(LogLineTest, NewFileGetsByteOrderMarkPrefixAndCrLf) {
  sim::CreateDirectory(L"C:\\Logs");
  ASSERT_TRUE(OpenLogStream(kLogPath));
  LogLine(L"Found %d matching device instance(s)", 3);
  LogLine(L"Removing driver package: %ls", L"oem12.inf");
  CloseLogStream();
  EXPECT_EQ(std::string(kBom) + kPrefix + "Found 3 matching device instance(s)\r\n" + kPrefix +
                "Removing driver package: oem12.inf\r\n",
            FileBytes());
}

TEST_F(LogLineTest, PrefixPadsEveryFieldAndHasNoMilliseconds) {
  SYSTEMTIME early = {};
  early.wYear = 987;
  early.wMonth = 1;
  early.wDay = 2;
  early.wHour = 3;
  early.wMinute = 4;
  early.wSecond = 5;
  early.wMilliseconds = 678;
  sim::SetLocalTime(early);
  sim::CreateDirectory(L"C:\\Logs");
  ASSERT_TRUE(OpenLogStream(kLogPath));
  LogLine(L"x");
  CloseLogStream();
  EXPECT_EQ(std::string(kBom) + "[0987-01-02 03:04:05] x\r\n", FileBytes());
}

TEST_F(LogLineTest, ExistingContentStaysAndGetsNoSecondMark) {
  sim::WriteFile(kLogPath, std::string(kBom) + "earlier line\r\n");
  ASSERT_TRUE(OpenLogStream(kLogPath));
  LogLine(L"later");
  CloseLogStream();
  EXPECT_EQ(std::string(kBom) + "earlier line\r\n" + kPrefix + "later\r\n", FileBytes());
}

TEST_F(LogLineTest, ExistingFileWithoutMarkGetsNone) {
  sim::WriteFile(kLogPath, "plain\r\n");
  ASSERT_TRUE(OpenLogStream(kLogPath));
  LogLine(L"later");
  CloseLogStream();
  EXPECT_EQ(std::string("plain\r\n") + kPrefix + "later\r\n", FileBytes());
}

TEST_F(LogLineTest, EmptyExistingFileGetsTheMark) {
  sim::WriteFile(kLogPath, "");
  ASSERT_TRUE(OpenLogStream(kLogPath));
  LogLine(L"first");
  CloseLogStream();
  EXPECT_EQ(std::string(kBom) + kPrefix + "first\r\n", FileBytes());
}

TEST_F(LogLineTest, EachLineIsInTheFileBeforeTheNextStep) {
  sim::CreateDirectory(L"C:\\Logs");
  ASSERT_TRUE(OpenLogStream(kLogPath));
  LogLine(L"one");
  EXPECT_EQ(std::string(kBom) + kPrefix + "one\r\n", FileBytes());
  LogLine(L"two");
  EXPECT_EQ(std::string(kBom) + kPrefix + "one\r\n" + kPrefix + "two\r\n", FileBytes());
  CloseLogStream();
}

TEST_F(LogLineTest, WithoutAnOpenLogNothingIsWritten) {
  LogLine(L"nowhere %d", 1);
  CloseLogStream();
  EXPECT_FALSE(sim::FileExists(kLogPath));
}

TEST_F(LogLineTest, TextIsEncodedAsUtf8AndLineFeedsBecomeCrLf) {
  sim::CreateDirectory(L"C:\\Logs");
  ASSERT_TRUE(OpenLogStream(kLogPath));
  // U+00E9, U+20AC and U+1F600 as a UTF-16 surrogate pair, as Windows text holds it.
  const wchar_t text[] = {L'\x00E9', L' ', L'\x20AC', L' ', static_cast<wchar_t>(0xD83D),
                          static_cast<wchar_t>(0xDE00), 0};
  LogLine(L"Output: %ls", text);
  LogLine(L"Output: %ls", L"line one\r\nline two\n");
  CloseLogStream();
  EXPECT_EQ(std::string(kBom) + kPrefix + "Output: \xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80\r\n" + kPrefix +
                "Output: line one\r\r\nline two\r\n\r\n",
            FileBytes());
}

TEST_F(LogLineTest, LongMessageIsWrittenWhole) {
  sim::CreateDirectory(L"C:\\Logs");
  ASSERT_TRUE(OpenLogStream(kLogPath));
  std::wstring longText(100000, L'x');
  LogLine(L"Output: %ls", longText.c_str());
  CloseLogStream();
  EXPECT_EQ(std::string(kBom) + kPrefix + "Output: " + std::string(100000, 'x') + "\r\n", FileBytes());
}

TEST_F(LogLineTest, LockedFileDoesNotOpen) {
  sim::WriteFile(kLogPath, "");
  sim::LockFile(kLogPath);
  EXPECT_FALSE(OpenLogStream(kLogPath));
  LogLine(L"lost");
  CloseLogStream();
  std::string bytes;
  ASSERT_TRUE(sim::ReadFile(kLogPath, &bytes));
  EXPECT_EQ("", bytes);
}

}  // namespace
