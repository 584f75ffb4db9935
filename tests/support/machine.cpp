#include "machine.h"

#include <share.h>
#include <stdio.h>

#if defined(VANTREL_NATIVE)
#include "sim/devices.h"
#include "sim/handles.h"
#include "sim/machine.h"
#include "sim/threads.h"
#include "sim/usb.h"
#endif

namespace testsupport {

namespace {
const wchar_t kSettingsKey[] = L"Software\\halvane103\\ASIO";
const wchar_t kVendorKey[] = L"Software\\halvane103";
}  // namespace

void CreateSettingsKey() {
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                           &key, nullptr));
  RegCloseKey(key);
}

void WriteSettingBytes(const wchar_t *name, DWORD type, const void *data, DWORD size) {
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                           &key, nullptr));
  EXPECT_EQ(ERROR_SUCCESS, RegSetValueExW(key, name, 0, type, static_cast<const BYTE *>(data), size));
  RegCloseKey(key);
}

void WriteSettingDword(const wchar_t *name, DWORD value) { WriteSettingBytes(name, REG_DWORD, &value, sizeof(value)); }

std::wstring ExecutablePath() {
  wchar_t path[MAX_PATH];
  DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  return std::wstring(path, length);
}

std::wstring ExecutableIdentityPath() { return ExecutablePath() + L".ini"; }

void WriteFileBytes(const std::wstring &path, const std::string &bytes) {
  FILE *file = _wfopen(path.c_str(), L"wb");
  ASSERT_NE(nullptr, file);
  EXPECT_EQ(bytes.size(), fwrite(bytes.data(), 1, bytes.size(), file));
  fclose(file);
}

void RemoveFile(const std::wstring &path) { _wremove(path.c_str()); }

void CleanMachine() {
#if defined(VANTREL_NATIVE)
  sim::Reset();
#else
  RegDeleteTreeW(HKEY_CURRENT_USER, kVendorKey);
  RegDeleteKeyW(HKEY_CURRENT_USER, kVendorKey);
  RemoveFile(ExecutableIdentityPath());
#endif
}

}  // namespace testsupport

void MachineTest::SetUp() { testsupport::CleanMachine(); }

void MachineTest::TearDown() {
#if defined(VANTREL_NATIVE)
  // Whatever a test opened or allocated through the stand-in must be given back.
  EXPECT_EQ(0, sim::OpenRegHandles()) << "registry key handles leaked";
  EXPECT_EQ(0, sim::LiveTaskAllocations()) << "COM task memory leaked";
  EXPECT_EQ(0, sim::OpenFiles()) << "files left open";
  EXPECT_EQ(0, sim::OpenHandles()) << "kernel-object handles left open";
  EXPECT_EQ(0, sim::OpenDeviceInfoSets()) << "device information sets not destroyed";
  EXPECT_EQ(0, sim::OpenWinUsbSessions()) << "WinUSB sessions not freed";
  EXPECT_EQ(0, sim::LiveHeapBlocks()) << "heap blocks leaked";
  EXPECT_EQ(0, sim::LiveAlignedBlocks()) << "aligned blocks leaked";
  EXPECT_EQ(0, sim::ComApartmentFaults()) << "COM initialisations unbalanced";
  EXPECT_EQ(0, sim::ThreadFaults()) << "a thread was waited for under the loader lock";
#endif
  testsupport::CleanMachine();
}
