// Self-registration and the registry routines through the real registry calls, so that these
// tests run natively and under Wine alike. No module named asio.dll is loaded in a test program:
// the identity file lies beside the test executable, which is what gets registered. Under Wine
// the 32-bit build runs in a 64-bit prefix, so its keys must land in the 32-bit view.
#include <objbase.h>

#include <gtest/gtest.h>

#include <string>

#include "exports.h"
#include "machine.h"
#include "registration.h"

namespace {

using testsupport::ExecutableIdentityPath;
using testsupport::ExecutablePath;
using testsupport::WriteFileBytes;

const char kClassLine[] = "{6B3C2A10-95E4-4F7D-8A21-3C5D7E9F0B99}";
const wchar_t kClassText[] = L"{6B3C2A10-95E4-4F7D-8A21-3C5D7E9F0B99}";
const wchar_t kDriverName[] = L"Vantrel ASIO test";
const wchar_t kClassKey[] = L"CLSID\\{6B3C2A10-95E4-4F7D-8A21-3C5D7E9F0B99}";
const wchar_t kInprocKey[] = L"CLSID\\{6B3C2A10-95E4-4F7D-8A21-3C5D7E9F0B99}\\InprocServer32";
const wchar_t kAsioKey[] = L"SOFTWARE\\ASIO";
const wchar_t kDriverKey[] = L"SOFTWARE\\ASIO\\Vantrel ASIO test";
// The test's own corner of the per-user hive, which the machine's cleaning removes.
const wchar_t kTreeParent[] = L"Software\\halvane103";

// The view this build's keys belong in, and the one no host of its bitness looks at.
const REGSAM kOwnView = sizeof(void *) == 4 ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;
const REGSAM kOtherView = sizeof(void *) == 4 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;

bool KeyIn(REGSAM view, HKEY root, const std::wstring &path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

// The REG_SZ text of a value in the own view; "<absent>" or "<type n>" when it is not one.
std::wstring Text(HKEY root, const std::wstring &path, const wchar_t *name) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ | kOwnView, &key) != ERROR_SUCCESS) return L"<absent>";
  WCHAR data[400] = {0};
  DWORD size = sizeof(data) - sizeof(WCHAR), type = 0;
  LONG status = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE *>(data), &size);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS) return L"<absent>";
  if (type != REG_SZ) return L"<type " + std::to_wstring(type) + L">";
  // REG_SZ sizes include the terminator.
  if (size != (wcslen(data) + 1) * sizeof(WCHAR)) return L"<size " + std::to_wstring(size) + L">";
  return data;
}

void SetText(HKEY root, const std::wstring &path, const wchar_t *name, const std::wstring &text) {
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS,
            RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | kOwnView, nullptr, &key, nullptr));
  EXPECT_EQ(ERROR_SUCCESS, RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(text.c_str()),
                                          static_cast<DWORD>((text.size() + 1) * sizeof(WCHAR))));
  RegCloseKey(key);
}

void CreateKey(HKEY root, const std::wstring &path) { SetText(root, path, L"marker", L"x"); }

void DeleteTree(REGSAM view, HKEY root, const wchar_t *parent, const wchar_t *child) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, parent, 0, KEY_ALL_ACCESS | view, &key) != ERROR_SUCCESS) return;
  RegDeleteTreeW(key, child);
  RegDeleteKeyW(key, child);
  RegCloseKey(key);
}

std::wstring Lower(std::wstring text) {
  for (auto &c : text) c = static_cast<wchar_t>(towlower(c));
  return text;
}

class RegistrationTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    RemoveTestKeys();
    WriteIdentity("Vantrel USB DAC");
  }
  void TearDown() override {
    RemoveTestKeys();
    MachineTest::TearDown();
  }

  void WriteIdentity(const char *description) {
    WriteFileBytes(ExecutableIdentityPath(), std::string(kClassLine) + "\r\nUSB\\VID_F1E5&PID_7A11\r\n" +
                                                 "Vantrel ASIO test\r\n" + description + "\r\n");
  }

  static void RemoveTestKeys() {
    for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
      DeleteTree(view, HKEY_CLASSES_ROOT, L"CLSID", kClassText);
      DeleteTree(view, HKEY_LOCAL_MACHINE, kAsioKey, kDriverName);
    }
  }

  static std::wstring ModulePath() { return Lower(ExecutablePath()); }
};

TEST_F(RegistrationTest, WritesClassAndDriverKeysInTheOwnViewOnly) {
  ASSERT_EQ(S_OK, DllRegisterServer());
  EXPECT_EQ(L"Vantrel USB DAC", Text(HKEY_CLASSES_ROOT, kClassKey, nullptr));
  EXPECT_EQ(ModulePath(), Text(HKEY_CLASSES_ROOT, kInprocKey, nullptr));
  EXPECT_EQ(L"Apartment", Text(HKEY_CLASSES_ROOT, kInprocKey, L"ThreadingModel"));
  EXPECT_EQ(kClassText, Text(HKEY_LOCAL_MACHINE, kDriverKey, L"CLSID"));
  EXPECT_EQ(L"Vantrel USB DAC", Text(HKEY_LOCAL_MACHINE, kDriverKey, L"Description"));
  EXPECT_FALSE(KeyIn(kOtherView, HKEY_CLASSES_ROOT, kClassKey));
  EXPECT_FALSE(KeyIn(kOtherView, HKEY_LOCAL_MACHINE, kDriverKey));
}

TEST_F(RegistrationTest, SameFolderAgainKeepsClassKeysAndRewritesTheDriverKey) {
  ASSERT_EQ(S_OK, DllRegisterServer());
  std::wstring upperPath = ExecutablePath();
  for (auto &c : upperPath) c = static_cast<wchar_t>(towupper(c));
  SetText(HKEY_CLASSES_ROOT, kInprocKey, nullptr, upperPath);
  CreateKey(HKEY_CLASSES_ROOT, std::wstring(kClassKey) + L"\\AddedByOthers");
  CreateKey(HKEY_LOCAL_MACHINE, std::wstring(kDriverKey) + L"\\Stale");
  WriteIdentity("Vantrel USB DAC, new description");
  ASSERT_EQ(S_OK, DllRegisterServer());
  EXPECT_EQ(L"Vantrel USB DAC", Text(HKEY_CLASSES_ROOT, kClassKey, nullptr));
  EXPECT_EQ(upperPath, Text(HKEY_CLASSES_ROOT, kInprocKey, nullptr));
  EXPECT_TRUE(KeyIn(kOwnView, HKEY_CLASSES_ROOT, std::wstring(kClassKey) + L"\\AddedByOthers"));
  EXPECT_EQ(L"Vantrel USB DAC, new description", Text(HKEY_LOCAL_MACHINE, kDriverKey, L"Description"));
  EXPECT_FALSE(KeyIn(kOwnView, HKEY_LOCAL_MACHINE, std::wstring(kDriverKey) + L"\\Stale"));
}

TEST_F(RegistrationTest, AnotherFolderRewritesTheWholeClassTree) {
  ASSERT_EQ(S_OK, DllRegisterServer());
  SetText(HKEY_CLASSES_ROOT, kInprocKey, nullptr, L"c:\\elsewhere\\asio.dll");
  CreateKey(HKEY_CLASSES_ROOT, std::wstring(kClassKey) + L"\\AddedByOthers\\Deeper");
  WriteIdentity("Vantrel USB DAC, new description");
  ASSERT_EQ(S_OK, DllRegisterServer());
  EXPECT_EQ(ModulePath(), Text(HKEY_CLASSES_ROOT, kInprocKey, nullptr));
  EXPECT_EQ(L"Vantrel USB DAC, new description", Text(HKEY_CLASSES_ROOT, kClassKey, nullptr));
  EXPECT_FALSE(KeyIn(kOwnView, HKEY_CLASSES_ROOT, std::wstring(kClassKey) + L"\\AddedByOthers"));
}

TEST_F(RegistrationTest, UnregisterRemovesClassTreeAndDriverKeyButKeepsTheAsioKey) {
  ASSERT_EQ(S_OK, DllRegisterServer());
  SetText(HKEY_CLASSES_ROOT, kInprocKey, nullptr, L"c:\\elsewhere\\asio.dll");
  CreateKey(HKEY_CLASSES_ROOT, std::wstring(kInprocKey) + L"\\Deeper");
  ASSERT_EQ(S_OK, DllUnregisterServer());
  EXPECT_FALSE(KeyIn(kOwnView, HKEY_CLASSES_ROOT, kClassKey));
  EXPECT_FALSE(KeyIn(kOwnView, HKEY_LOCAL_MACHINE, kDriverKey));
  EXPECT_TRUE(KeyIn(kOwnView, HKEY_LOCAL_MACHINE, kAsioKey));
  EXPECT_EQ(S_OK, DllUnregisterServer());
}

TEST_F(RegistrationTest, IdentityWithoutNameAndDescriptionTouchesNothing) {
  ASSERT_EQ(S_OK, DllRegisterServer());
  WriteFileBytes(ExecutableIdentityPath(), std::string(kClassLine) + "\r\nUSB\\VID_F1E5&PID_7A11\r\n");
  EXPECT_EQ(kIdentityUnreadable, DllUnregisterServer());
  EXPECT_TRUE(KeyIn(kOwnView, HKEY_LOCAL_MACHINE, kDriverKey));
  RemoveTestKeys();
  EXPECT_EQ(kIdentityUnreadable, DllRegisterServer());
  EXPECT_FALSE(KeyIn(kOwnView, HKEY_CLASSES_ROOT, kClassKey));
  // Debian's Wine prefixes are 64-bit, so the 32-bit build runs under WOW64 there; natively the
  // simulated process is a 64-bit one.
  EXPECT_EQ(sizeof(void *) == 4 ? TRUE : FALSE, RunningUnderWow64());
}

class RegistryRoutineTest : public MachineTest {
 protected:
  std::wstring Path(const std::wstring &below) { return std::wstring(kTreeParent) + L"\\" + below; }
};

// Three levels below the deleted key, with siblings at each level: the walk reuses the shared
// key-name buffer at every level.
TEST_F(RegistryRoutineTest, DeleteKeyTreeRemovesAThreeLevelTreeWhole) {
  for (const wchar_t *a : {L"a1", L"a2", L"a3"})
    for (const wchar_t *b : {L"b1", L"b2"})
      for (const wchar_t *c : {L"c1", L"c2"}) CreateKey(HKEY_CURRENT_USER, Path(L"tree\\") + a + L"\\" + b + L"\\" + c);
  CreateKey(HKEY_CURRENT_USER, Path(L"treeSibling"));
  EXPECT_EQ(0, DeleteKeyTree(HKEY_CURRENT_USER, kTreeParent, L"tree"));
  EXPECT_FALSE(KeyIn(kOwnView, HKEY_CURRENT_USER, Path(L"tree")));
  EXPECT_TRUE(KeyIn(kOwnView, HKEY_CURRENT_USER, Path(L"treeSibling")));
  EXPECT_EQ(-1, DeleteKeyTree(HKEY_CURRENT_USER, kTreeParent, L"tree"));
  EXPECT_EQ(-1, DeleteKeyTree(HKEY_CURRENT_USER, Path(L"missing").c_str(), L"tree"));
}

TEST_F(RegistryRoutineTest, KeysAndStringValues) {
  EXPECT_EQ(-1, KeyExists(HKEY_CURRENT_USER, nullptr));
  EXPECT_EQ(-1, CreateChildKey(HKEY_CURRENT_USER, Path(L"missing").c_str(), L"child"));
  EXPECT_EQ(-1, WriteStringValue(HKEY_CURRENT_USER, Path(L"child").c_str(), L"name", L"abc"));
  CreateKey(HKEY_CURRENT_USER, kTreeParent);
  EXPECT_EQ(0, KeyExists(HKEY_CURRENT_USER, Path(L"child").c_str()));
  EXPECT_EQ(0, CreateChildKey(HKEY_CURRENT_USER, kTreeParent, L"child"));
  EXPECT_EQ(1, KeyExists(HKEY_CURRENT_USER, Path(L"child").c_str()));
  EXPECT_EQ(0, CreateChildKey(HKEY_CURRENT_USER, kTreeParent, L"child"));
  ASSERT_EQ(0, WriteStringValue(HKEY_CURRENT_USER, Path(L"child").c_str(), L"name", L"abc"));
  ASSERT_EQ(0, WriteStringValue(HKEY_CURRENT_USER, Path(L"child").c_str(), nullptr, L"default"));
  EXPECT_EQ(L"abc", Text(HKEY_CURRENT_USER, Path(L"child"), L"name"));
  EXPECT_EQ(L"default", Text(HKEY_CURRENT_USER, Path(L"child"), nullptr));
  // The capacity is in bytes and must hold the terminator; the read writes nothing more.
  WCHAR buffer[8];
  for (auto &c : buffer) c = L'#';
  const DWORD exact = 4 * sizeof(WCHAR);
  EXPECT_EQ(-1, ReadStringValue(HKEY_CURRENT_USER, Path(L"child").c_str(), L"name", buffer, exact - 1));
  EXPECT_EQ(L'#', buffer[0]);
  ASSERT_EQ(0, ReadStringValue(HKEY_CURRENT_USER, Path(L"child").c_str(), L"name", buffer, exact));
  EXPECT_STREQ(L"abc", buffer);
  EXPECT_EQ(L'#', buffer[4]);
  EXPECT_EQ(-1, ReadStringValue(HKEY_CURRENT_USER, Path(L"child").c_str(), L"missing", buffer, sizeof(buffer)));
}

// Paths of 359 characters are used; 360 would not fit the buffers with their terminator and
// are refused without any registry call.
TEST_F(RegistryRoutineTest, PathsAtTheBufferLimit) {
  std::wstring parent = Path(std::wstring(200, L'p'));
  CreateKey(HKEY_CURRENT_USER, parent);
  std::wstring fits(359 - parent.size() - 1, L'c');
  std::wstring tooLong = parent + L"\\" + fits + L"c";
  EXPECT_EQ(0, CreateChildKey(HKEY_CURRENT_USER, parent.c_str(), fits.c_str()));
  EXPECT_EQ(1, KeyExists(HKEY_CURRENT_USER, (parent + L"\\" + fits).c_str()));
  EXPECT_EQ(-1, CreateChildKey(HKEY_CURRENT_USER, parent.c_str(), (fits + L"c").c_str()));
  EXPECT_FALSE(KeyIn(kOwnView, HKEY_CURRENT_USER, tooLong));
  EXPECT_EQ(-1, KeyExists(HKEY_CURRENT_USER, tooLong.c_str()));
  EXPECT_EQ(-1, WriteStringValue(HKEY_CURRENT_USER, tooLong.c_str(), nullptr, L"x"));
  EXPECT_EQ(-1, DeleteKeyTree(HKEY_CURRENT_USER, tooLong.c_str(), L"x"));
}

}  // namespace
