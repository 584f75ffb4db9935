// Identity-file reading on the simulated machine: where the module lies, allocation and
// conversion failures, and the ANSI code page.
#include <gtest/gtest.h>

#include <string>

#include "identity.h"
#include "machine.h"
#include "sim/machine.h"

namespace {

const wchar_t kModule[] = L"C:\\Program Files\\Vantrel\\asio.dll";
const std::string kFile =
    "{6B3C2A10-95E4-4F7D-8A21-3C5D7E9F0B14}\r\nUSB\\VID_F1E5&PID_7A11\r\nVantrel ASIO\r\nVantrel USB DAC\r\n";

class IdentityTest : public MachineTest {};

TEST_F(IdentityTest, FileBesideTheLoadedModuleIsUsed) {
  sim::LoadModule(kModule);
  sim::WriteFile(std::wstring(kModule) + L".ini", kFile);
  sim::WriteFile(L"C:\\Program Files\\Host\\host.exe.ini", "{00000000-0000-0000-0000-000000000001}\r\nX\r\n");
  WCHAR fileName[MAX_PATH];
  LPOLESTR description = nullptr, name = nullptr;
  ASSERT_EQ(0, LoadDriverIdentity(fileName, &description, &name));
  EXPECT_STREQ(L"asio.dll", fileName);
  EXPECT_STREQ(L"Vantrel ASIO", name);
  EXPECT_STREQ(L"Vantrel USB DAC", description);
  CoTaskMemFree(description);
  CoTaskMemFree(name);
}

TEST_F(IdentityTest, ModuleIsFoundByNameWhateverItsCase) {
  sim::LoadModule(L"C:\\Drivers\\ASIO.DLL");
  sim::WriteFile(L"C:\\Drivers\\ASIO.DLL.ini", kFile);
  WCHAR path[MAX_PATH];
  ASSERT_TRUE(GetDriverModulePath(path, MAX_PATH));
  EXPECT_STREQ(L"C:\\Drivers\\ASIO.DLL", path);
  CLSID id;
  WCHAR prefix[kDeviceIdPrefixChars];
  EXPECT_EQ(0, LoadClassIdentity(&id, prefix));
}

TEST_F(IdentityTest, ModulePathLimits) {
  // 259 characters fit the 260-character buffer with the terminator; 260 do not.
  std::wstring fits = L"C:\\" + std::wstring(247, L'a') + L"\\asio.dll";
  ASSERT_EQ(259u, fits.size());
  sim::LoadModule(fits);
  sim::WriteFile(fits + L".ini", kFile);
  WCHAR path[MAX_PATH];
  ASSERT_TRUE(GetDriverModulePath(path, MAX_PATH));
  EXPECT_EQ(fits, std::wstring(path));
  CLSID id;
  WCHAR prefix[kDeviceIdPrefixChars];
  EXPECT_EQ(0, LoadClassIdentity(&id, prefix));

  sim::Reset();
  std::wstring tooLong = L"C:\\" + std::wstring(248, L'a') + L"\\asio.dll";
  ASSERT_EQ(260u, tooLong.size());
  sim::LoadModule(tooLong);
  sim::WriteFile(tooLong.substr(0, 259) + L".ini", kFile);
  EXPECT_FALSE(GetDriverModulePath(path, MAX_PATH));
  EXPECT_EQ(-1, LoadClassIdentity(&id, prefix));
  WCHAR fileName[MAX_PATH];
  LPOLESTR description = nullptr, name = nullptr;
  EXPECT_EQ(-1, LoadDriverIdentity(fileName, &description, &name));
  EXPECT_EQ(nullptr, description);
  EXPECT_EQ(nullptr, name);
}

TEST_F(IdentityTest, FileHeldWithoutSharingCannotBeRead) {
  sim::LoadModule(kModule);
  sim::WriteFile(std::wstring(kModule) + L".ini", kFile);
  sim::LockFile(std::wstring(kModule) + L".ini");
  CLSID id;
  WCHAR prefix[kDeviceIdPrefixChars];
  EXPECT_EQ(-1, LoadClassIdentity(&id, prefix));
}

TEST_F(IdentityTest, EveryAllocationFailureFailsTheReadWithoutLeaks) {
  sim::LoadModule(kModule);
  sim::WriteFile(std::wstring(kModule) + L".ini", kFile);
  // The driver reader makes three task-memory strings that it frees or hands out; fail each.
  for (int successes = 0; successes < 3; ++successes) {
    sim::FailTaskAllocAfter(successes);
    WCHAR fileName[MAX_PATH];
    LPOLESTR description = nullptr, name = nullptr;
    EXPECT_EQ(-1, LoadDriverIdentity(fileName, &description, &name)) << successes;
    EXPECT_EQ(nullptr, description);
    EXPECT_EQ(nullptr, name);
    EXPECT_EQ(0, sim::LiveTaskAllocations()) << successes;
  }
  for (int successes = 0; successes < 2; ++successes) {
    sim::FailTaskAllocAfter(successes);
    CLSID id;
    WCHAR prefix[kDeviceIdPrefixChars];
    EXPECT_EQ(-1, LoadClassIdentity(&id, prefix)) << successes;
    EXPECT_EQ(0, sim::LiveTaskAllocations()) << successes;
  }
  sim::FailTaskAllocAfter(-1);
  CLSID id;
  WCHAR prefix[kDeviceIdPrefixChars];
  EXPECT_EQ(0, LoadClassIdentity(&id, prefix));
}

TEST_F(IdentityTest, AnsiToTaskStringReportsFailures) {
  LPOLESTR out = reinterpret_cast<LPOLESTR>(static_cast<uintptr_t>(0xDEADBEEF));
  sim::FailTaskAllocAfter(0);
  EXPECT_EQ(E_OUTOFMEMORY, AnsiToTaskString("text", &out));
  EXPECT_EQ(nullptr, out);
  sim::FailTaskAllocAfter(-1);

  sim::FailMultiByteToWideChar(1, ERROR_NO_UNICODE_TRANSLATION);
  EXPECT_EQ(static_cast<HRESULT>(0x80070459), AnsiToTaskString("text", &out));
  EXPECT_EQ(nullptr, out);
  EXPECT_EQ(0, sim::LiveTaskAllocations());

  // A failed conversion that leaves no error code is still a failure, never S_OK with no string.
  sim::FailMultiByteToWideChar(1, 0);
  EXPECT_EQ(E_FAIL, AnsiToTaskString("text", &out));
  EXPECT_EQ(nullptr, out);
  EXPECT_EQ(0, sim::LiveTaskAllocations());

  // And the readers fail with it instead of using a missing string.
  sim::LoadModule(kModule);
  sim::WriteFile(std::wstring(kModule) + L".ini", kFile);
  sim::FailMultiByteToWideChar(1, 0);
  CLSID id;
  WCHAR prefix[kDeviceIdPrefixChars];
  EXPECT_EQ(-1, LoadClassIdentity(&id, prefix));
  EXPECT_EQ(0, sim::LiveTaskAllocations());
}

TEST_F(IdentityTest, AnsiTextIsReadInTheAnsiCodePage) {
  LPOLESTR out = nullptr;
  ASSERT_EQ(S_OK, AnsiToTaskString("Caf\xE9 \x80 \x99", &out));
  EXPECT_EQ(std::wstring(L"Caf\u00E9 \u20AC \u2122"), std::wstring(out));
  CoTaskMemFree(out);

  sim::LoadModule(kModule);
  sim::WriteFile(std::wstring(kModule) + L".ini",
                 "{6B3C2A10-95E4-4F7D-8A21-3C5D7E9F0B14}\r\nP\r\nN\r\nSpeakers (Vantrel \xAE DAC)\r\n");
  WCHAR fileName[MAX_PATH];
  LPOLESTR description = nullptr, name = nullptr;
  ASSERT_EQ(0, LoadDriverIdentity(fileName, &description, &name));
  EXPECT_EQ(std::wstring(L"Speakers (Vantrel \u00AE DAC)"), std::wstring(description));
  CoTaskMemFree(description);
  CoTaskMemFree(name);
}

TEST_F(IdentityTest, EmbeddedNullEndsTheText) {
  sim::LoadModule(kModule);
  std::string file = "{6B3C2A10-95E4-4F7D-8A21-3C5D7E9F0B14}\r\nUSB\\VID\r\nName";
  file.push_back('\0');
  file += "\r\nDescription\r\n";
  sim::WriteFile(std::wstring(kModule) + L".ini", file);
  CLSID id;
  WCHAR prefix[kDeviceIdPrefixChars];
  EXPECT_EQ(0, LoadClassIdentity(&id, prefix));
  WCHAR fileName[MAX_PATH];
  LPOLESTR description = nullptr, name = nullptr;
  EXPECT_EQ(-1, LoadDriverIdentity(fileName, &description, &name));
}

TEST_F(IdentityTest, CtrlZEndsTheTextInTextMode) {
  sim::LoadModule(kModule);
  sim::WriteFile(std::wstring(kModule) + L".ini",
                 "{6B3C2A10-95E4-4F7D-8A21-3C5D7E9F0B14}\r\nUSB\\VID\x1A\r\nName\r\nDescription\r\n");
  CLSID id;
  WCHAR prefix[kDeviceIdPrefixChars];
  EXPECT_EQ(0, LoadClassIdentity(&id, prefix));
  EXPECT_STREQ(L"USB\\VID", prefix);
  WCHAR fileName[MAX_PATH];
  LPOLESTR description = nullptr, name = nullptr;
  EXPECT_EQ(-1, LoadDriverIdentity(fileName, &description, &name));
}

}  // namespace
