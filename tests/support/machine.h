// The machine a test runs on. Natively it is the simulated machine, reset for every test;
// under Wine it is the test prefix, from which each test removes what the tests write.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

namespace testsupport {

// Writes the driver's settings through the real registry calls.
void WriteSettingDword(const wchar_t *name, DWORD value);
void WriteSettingBytes(const wchar_t *name, DWORD type, const void *data, DWORD size);
void CreateSettingsKey();

// The path of the running executable, and the identity file the driver finds beside it when no
// module named asio.dll is loaded.
std::wstring ExecutablePath();
std::wstring ExecutableIdentityPath();
void WriteFileBytes(const std::wstring &path, const std::string &bytes);
void RemoveFile(const std::wstring &path);

// Removes what the tests write: the settings key and the identity file beside the executable.
void CleanMachine();

}  // namespace testsupport

class MachineTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
};
