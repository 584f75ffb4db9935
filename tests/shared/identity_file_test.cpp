// The identity file beside the module: found by the module's path, read by both readers.
// Files are written through the C runtime, so these tests run natively and under Wine alike.
// No module named asio.dll is loaded in a test program, so the file is looked for beside the
// test executable.
#include <objbase.h>

#include <gtest/gtest.h>

#include <string>

#include "identity.h"
#include "machine.h"

namespace {

using testsupport::ExecutableIdentityPath;
using testsupport::ExecutablePath;
using testsupport::WriteFileBytes;

const char kClassLine[] = "{6B3C2A10-95E4-4F7D-8A21-3C5D7E9F0B14}";
const CLSID kClass = {0x6B3C2A10, 0x95E4, 0x4F7D, {0x8A, 0x21, 0x3C, 0x5D, 0x7E, 0x9F, 0x0B, 0x14}};
const char kPrefixLine[] = "USB\\VID_F1E5&PID_7A11";
const char kNameLine[] = "Vantrel ASIO";
const char kDescriptionLine[] = "Vantrel USB DAC";

std::string Lines(const char *separator, bool finalSeparator = true) {
  std::string text = std::string(kClassLine) + separator + kPrefixLine + separator + kNameLine + separator +
                     kDescriptionLine;
  if (finalSeparator) text += separator;
  return text;
}

struct DriverIdentity {
  int result = 1234;
  WCHAR moduleFileName[MAX_PATH];
  LPOLESTR description = nullptr;
  LPOLESTR driverName = nullptr;
  std::wstring descriptionText, driverNameText;

  DriverIdentity() {
    for (auto &c : moduleFileName) c = L'#';
    result = LoadDriverIdentity(moduleFileName, &description, &driverName);
    if (description) descriptionText = description;
    if (driverName) driverNameText = driverName;
    CoTaskMemFree(description);
    CoTaskMemFree(driverName);
  }
};

struct ClassIdentity {
  int result = 1234;
  CLSID classId = {};
  WCHAR prefix[kDeviceIdPrefixChars];

  ClassIdentity() {
    for (auto &c : prefix) c = L'#';
    result = LoadClassIdentity(&classId, prefix);
  }
};

class IdentityFileTest : public MachineTest {
 protected:
  void Write(const std::string &bytes) { WriteFileBytes(ExecutableIdentityPath(), bytes); }

  // Both readers see the four values of the standard file.
  void ExpectStandardValues() {
    ClassIdentity ids;
    ASSERT_EQ(0, ids.result);
    EXPECT_TRUE(IsEqualGUID(kClass, ids.classId));
    EXPECT_STREQ(L"USB\\VID_F1E5&PID_7A11", ids.prefix);
    DriverIdentity driver;
    ASSERT_EQ(0, driver.result);
    EXPECT_EQ(L"Vantrel ASIO", driver.driverNameText);
    EXPECT_EQ(L"Vantrel USB DAC", driver.descriptionText);
    EXPECT_TRUE(IsEqualGUID(kClass, DriverClassId));
  }
};

TEST_F(IdentityFileTest, CrLfLines) {
  Write(Lines("\r\n"));
  ExpectStandardValues();
}

TEST_F(IdentityFileTest, LfLinesBlankLinesAndNoFinalLineEndReadTheSame) {
  Write(Lines("\n"));
  ExpectStandardValues();
  Write("\r\n\r\n" + Lines("\r\n\r\n\n"));
  ExpectStandardValues();
  Write(Lines("\r\n", /*finalSeparator=*/false));
  ExpectStandardValues();
}

// A CR alone ends a line as well: a reader that split at LF only would see one long line 1.
TEST_F(IdentityFileTest, CrOnlyLinesReadTheSame) {
  Write(Lines("\r"));
  ExpectStandardValues();
  Write("\r\r" + Lines("\r\r", /*finalSeparator=*/false));
  ExpectStandardValues();
}

TEST_F(IdentityFileTest, LinesAfterTheFourthAreIgnored) {
  Write(Lines("\r\n") + "extra line\r\n{00000000-0000-0000-0000-000000000000}\r\n");
  ExpectStandardValues();
}

TEST_F(IdentityFileTest, LinesKeepTheirSpacesAndTabs) {
  Write(std::string(kClassLine) + "\n  USB\\VID_F1E5 \n\tName\t\n Description with spaces \n");
  ClassIdentity ids;
  ASSERT_EQ(0, ids.result);
  EXPECT_STREQ(L"  USB\\VID_F1E5 ", ids.prefix);
  DriverIdentity driver;
  ASSERT_EQ(0, driver.result);
  EXPECT_EQ(L"\tName\t", driver.driverNameText);
  EXPECT_EQ(L" Description with spaces ", driver.descriptionText);
}

TEST_F(IdentityFileTest, OnlyTheFirst4096BytesAreUsed) {
  // LF line ends, so that the C runtime's text mode leaves the byte count as it is.
  std::string head = std::string(kClassLine) + "\n" + kPrefixLine + "\n" + kNameLine + "\n";
  std::string description(5000, 'D');
  Write(head + description + "\n");
  DriverIdentity driver;
  ASSERT_EQ(0, driver.result);
  EXPECT_EQ(std::wstring(4096 - head.size(), L'D'), driver.descriptionText);
}

TEST_F(IdentityFileTest, ALineBeyondTheFirst4096BytesIsMissing) {
  std::string head = std::string(kClassLine) + "\n" + kPrefixLine + "\n" + kNameLine;
  Write(head + std::string(4096 - head.size(), '\n') + kDescriptionLine + "\n");
  EXPECT_EQ(-1, DriverIdentity().result);
  EXPECT_EQ(0, ClassIdentity().result);
}

TEST_F(IdentityFileTest, AByteOrderMarkSpoilsLineOne) {
  Write("\xEF\xBB\xBF" + Lines("\r\n"));
  EXPECT_EQ(-1, ClassIdentity().result);
  EXPECT_EQ(-1, DriverIdentity().result);
}

TEST_F(IdentityFileTest, TwoLinesServeTheClassReaderOnly) {
  Write(std::string(kClassLine) + "\r\n" + kPrefixLine + "\r\n");
  ClassIdentity ids;
  EXPECT_EQ(0, ids.result);
  EXPECT_STREQ(L"USB\\VID_F1E5&PID_7A11", ids.prefix);
  DriverIdentity driver;
  EXPECT_EQ(-1, driver.result);
  EXPECT_EQ(nullptr, driver.description);
  EXPECT_EQ(nullptr, driver.driverName);
}

TEST_F(IdentityFileTest, OneLineServesNeither) {
  Write(std::string(kClassLine) + "\r\n");
  EXPECT_EQ(-1, ClassIdentity().result);
  EXPECT_EQ(-1, DriverIdentity().result);
}

TEST_F(IdentityFileTest, MissingEmptyOrUnparsableFileFails) {
  EXPECT_EQ(-1, ClassIdentity().result);
  EXPECT_EQ(-1, DriverIdentity().result);
  Write("");
  EXPECT_EQ(-1, ClassIdentity().result);
  EXPECT_EQ(-1, DriverIdentity().result);
  Write("\r\n\r\n\n");
  EXPECT_EQ(-1, ClassIdentity().result);
  Write("not a class id\r\n" + std::string(kPrefixLine) + "\r\nName\r\nDescription\r\n");
  EXPECT_EQ(-1, ClassIdentity().result);
  EXPECT_EQ(-1, DriverIdentity().result);
  Write("{6B3C2A10-95E4-4F7D-8A21-3C5D7E9F0B1}\r\nP\r\nN\r\nD\r\n");
  EXPECT_EQ(-1, ClassIdentity().result);
}

TEST_F(IdentityFileTest, PrefixOf49CharactersFitsAnd50IsRefused) {
  std::string prefix49(49, 'P');
  Write(std::string(kClassLine) + "\r\n" + prefix49 + "\r\n");
  ClassIdentity fits;
  ASSERT_EQ(0, fits.result);
  EXPECT_EQ(std::wstring(49, L'P'), std::wstring(fits.prefix));

  Write(std::string(kClassLine) + "\r\n" + prefix49 + "Q\r\n");
  ClassIdentity tooLong;
  EXPECT_EQ(-1, tooLong.result);
  // The caller's buffer is left as it was: nothing was written past or into it.
  for (auto c : tooLong.prefix) EXPECT_EQ(L'#', c);
}

TEST_F(IdentityFileTest, ModuleFileNameIsThePartAfterTheLastBackslash) {
  Write(Lines("\r\n"));
  DriverIdentity driver;
  ASSERT_EQ(0, driver.result);
  std::wstring exe = ExecutablePath();
  EXPECT_EQ(exe.substr(exe.rfind(L'\\') + 1), std::wstring(driver.moduleFileName));
}

TEST_F(IdentityFileTest, EveryReadOverwritesTheClassId) {
  Write(Lines("\r\n"));
  ExpectStandardValues();
  Write("{11111111-2222-3333-4444-555555555555}\r\nP\r\nN\r\nD\r\n");
  DriverIdentity driver;
  ASSERT_EQ(0, driver.result);
  const CLSID other = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};
  EXPECT_TRUE(IsEqualGUID(other, DriverClassId));
}

TEST_F(IdentityFileTest, AnsiToTaskStringNullInNullOut) {
  LPOLESTR out = reinterpret_cast<LPOLESTR>(static_cast<uintptr_t>(0xDEADBEEF));
  EXPECT_EQ(S_OK, AnsiToTaskString(nullptr, &out));
  EXPECT_EQ(nullptr, out);
  EXPECT_EQ(S_OK, AnsiToTaskString("", &out));
  ASSERT_NE(nullptr, out);
  EXPECT_STREQ(L"", out);
  CoTaskMemFree(out);
}

}  // namespace
