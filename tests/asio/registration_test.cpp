// Registration on the simulated machine: the WOW64 view, the failures that only the stand-in can
// arrange (modules, COM task memory, heap, keys that refuse deletion) and over-long paths.
#include <gtest/gtest.h>

#include <string>

#include "exports.h"
#include "identity.h"
#include "machine.h"
#include "registration.h"
#include "sim/machine.h"

namespace {

const wchar_t kModule[] = L"C:\\Drivers\\Vantrel\\Asio.DLL";
const wchar_t kModuleLower[] = L"c:\\drivers\\vantrel\\asio.dll";
const CLSID kClass = {0x6B3C2A10, 0x95E4, 0x4F7D, {0x8A, 0x21, 0x3C, 0x5D, 0x7E, 0x9F, 0x0B, 0x14}};
const char kIdentity[] =
    "{6B3C2A10-95E4-4F7D-8A21-3C5D7E9F0B14}\r\nUSB\\VID_F1E5&PID_7A11\r\nVantrel ASIO\r\nVantrel USB DAC\r\n";
// Physical paths, below HKEY_LOCAL_MACHINE.
const wchar_t kClass64[] = L"SOFTWARE\\Classes\\CLSID\\{6B3C2A10-95E4-4F7D-8A21-3C5D7E9F0B14}";
const wchar_t kClass32[] = L"SOFTWARE\\Classes\\Wow6432Node\\CLSID\\{6B3C2A10-95E4-4F7D-8A21-3C5D7E9F0B14}";
const wchar_t kDriver64[] = L"SOFTWARE\\ASIO\\Vantrel ASIO";
const wchar_t kDriver32[] = L"SOFTWARE\\Wow6432Node\\ASIO\\Vantrel ASIO";

std::wstring StoredText(HKEY root, const std::wstring &path, const wchar_t *name) {
  std::vector<uint8_t> data;
  DWORD type = 0;
  if (!sim::GetRegValue(root, path, name ? name : L"", &type, &data) || type != REG_SZ) return L"<absent>";
  return std::wstring(reinterpret_cast<const wchar_t *>(data.data()));
}

bool AnyDoubledNode() {
  return sim::RegKeyExists(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Wow6432Node\\Wow6432Node") ||
         sim::RegKeyExists(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Classes\\Wow6432Node\\Wow6432Node");
}

class DriverRegistrationTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    sim::LoadModule(kModule);
    sim::WriteFile(std::wstring(kModule) + L".ini", kIdentity);
  }
};

TEST_F(DriverRegistrationTest, Wow64ProcessWritesThe32BitViewOnly) {
  sim::SetWow64(true, true);
  ASSERT_EQ(S_OK, DllRegisterServer());
  EXPECT_EQ(L"Vantrel USB DAC", StoredText(HKEY_LOCAL_MACHINE, kClass32, nullptr));
  EXPECT_EQ(kModuleLower, StoredText(HKEY_LOCAL_MACHINE, std::wstring(kClass32) + L"\\InprocServer32", nullptr));
  EXPECT_EQ(L"Vantrel USB DAC", StoredText(HKEY_LOCAL_MACHINE, kDriver32, L"Description"));
  EXPECT_FALSE(sim::RegKeyExists(HKEY_LOCAL_MACHINE, kClass64));
  EXPECT_FALSE(sim::RegKeyExists(HKEY_LOCAL_MACHINE, L"SOFTWARE\\ASIO"));
  EXPECT_FALSE(AnyDoubledNode());
  // Registering again from the same folder finds its own class keys in the 32-bit view.
  sim::WriteFile(std::wstring(kModule) + L".ini", std::string(kIdentity) + "");
  ASSERT_EQ(S_OK, DllRegisterServer());
  ASSERT_EQ(S_OK, DllUnregisterServer());
  EXPECT_FALSE(sim::RegKeyExists(HKEY_LOCAL_MACHINE, kClass32));
  EXPECT_FALSE(sim::RegKeyExists(HKEY_LOCAL_MACHINE, kDriver32));
  EXPECT_TRUE(sim::RegKeyExists(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Wow6432Node\\ASIO"));
  EXPECT_FALSE(AnyDoubledNode());
}

TEST_F(DriverRegistrationTest, WithoutIsWow64ProcessTheNativeRootsAreUsed) {
  sim::SetWow64(/*available=*/false, /*wow64=*/false);
  EXPECT_FALSE(RunningUnderWow64());
  ASSERT_EQ(S_OK, DllRegisterServer());
  EXPECT_TRUE(sim::RegKeyExists(HKEY_LOCAL_MACHINE, kClass64));
  EXPECT_TRUE(sim::RegKeyExists(HKEY_LOCAL_MACHINE, kDriver64));
  EXPECT_FALSE(sim::RegKeyExists(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Wow6432Node"));
  sim::SetWow64(true, true);
  EXPECT_TRUE(RunningUnderWow64());
}

// Each failure before the first registry write leaves the registry as it was.
TEST_F(DriverRegistrationTest, FailuresBeforeAnyWriteTouchNothing) {
  EXPECT_EQ(kRegistrationModuleNotFound,
            WriteDriverRegistration(kClass, L"missing.dll", L"Vantrel ASIO", L"d", L"Apartment"));
  sim::FailTaskAllocAfter(0);
  EXPECT_EQ(kRegistrationClassIdText, WriteDriverRegistration(kClass, L"asio.dll", L"Vantrel ASIO", L"d", L"Apartment"));
  EXPECT_EQ(kRegistrationClassIdText, RemoveDriverRegistration(kClass, L"asio.dll", L"Vantrel ASIO"));
  sim::FailTaskAllocAfter(-1);
  // A module path that fills the 360-character buffer was cut short.
  std::wstring deep = L"C:\\" + std::wstring(350, L'd') + L"\\deep.dll";
  sim::LoadModule(deep);
  EXPECT_EQ(kRegistrationEmptyModulePath, WriteDriverRegistration(kClass, L"deep.dll", L"Vantrel ASIO", L"d", L"Apartment"));
  EXPECT_FALSE(sim::RegKeyExists(HKEY_LOCAL_MACHINE, kClass64));
  EXPECT_FALSE(sim::RegKeyExists(HKEY_LOCAL_MACHINE, L"SOFTWARE\\ASIO"));
}

TEST_F(DriverRegistrationTest, DriverNameTooLongForAKeyPathRegistersNothing) {
  std::string name(360, 'n');
  sim::WriteFile(std::wstring(kModule) + L".ini",
                 "{6B3C2A10-95E4-4F7D-8A21-3C5D7E9F0B14}\r\nUSB\\X\r\n" + name + "\r\nVantrel USB DAC\r\n");
  EXPECT_EQ(static_cast<HRESULT>(-1), DllRegisterServer());
  EXPECT_EQ(static_cast<HRESULT>(-1), DllUnregisterServer());
  EXPECT_FALSE(sim::RegKeyExists(HKEY_LOCAL_MACHINE, kClass64));
  EXPECT_FALSE(sim::RegKeyExists(HKEY_LOCAL_MACHINE, L"SOFTWARE\\ASIO"));
}

// Up to the longest module path registration takes (359 characters, one short of the buffer):
// registering again from the same folder keeps the class keys and what others added below them.
TEST_F(DriverRegistrationTest, LongModulePathsStillCountAsTheSameModule) {
  for (size_t length : {298u, 358u, 359u}) {
    std::wstring module = L"C:\\" + std::wstring(length - 12, L'f') + L"\\asio.dll";
    ASSERT_EQ(length, module.size());
    sim::Reset();
    sim::LoadModule(module);
    // The identity file path has to fit 260 characters, so registration is driven directly.
    ASSERT_EQ(0, WriteDriverRegistration(kClass, L"asio.dll", L"Vantrel ASIO", L"first", L"Apartment")) << length;
    sim::CreateRegKey(HKEY_LOCAL_MACHINE, std::wstring(kClass64) + L"\\Implemented Categories");
    ASSERT_EQ(0, WriteDriverRegistration(kClass, L"asio.dll", L"Vantrel ASIO", L"second", L"Apartment")) << length;
    EXPECT_EQ(L"first", StoredText(HKEY_LOCAL_MACHINE, kClass64, nullptr)) << length;
    EXPECT_TRUE(sim::RegKeyExists(HKEY_LOCAL_MACHINE, std::wstring(kClass64) + L"\\Implemented Categories")) << length;
    EXPECT_EQ(L"second", StoredText(HKEY_LOCAL_MACHINE, kDriver64, L"Description")) << length;
  }
}

class KeyTreeTest : public MachineTest {
 protected:
  // tree\a1..a3\b1,b2\c1,c2 below HKCU\Software\halvane103.
  void MakeTree() {
    for (const wchar_t *a : {L"a1", L"a2", L"a3"})
      for (const wchar_t *b : {L"b1", L"b2"})
        for (const wchar_t *c : {L"c1", L"c2"})
          sim::CreateRegKey(HKEY_CURRENT_USER, std::wstring(kTree) + L"\\" + a + L"\\" + b + L"\\" + c);
  }
  static constexpr const wchar_t *kParent = L"Software\\halvane103";
  static constexpr const wchar_t *kTree = L"Software\\halvane103\\tree";
};

TEST_F(KeyTreeTest, AKeyThatRefusesFullAccessIsSkippedWithItsAncestors) {
  MakeTree();
  sim::DenyRegKeyAccess(HKEY_CURRENT_USER, std::wstring(kTree) + L"\\a2\\b1", DELETE);
  EXPECT_EQ(0, DeleteKeyTree(HKEY_CURRENT_USER, kParent, L"tree"));
  // The refused key keeps its subtree, and the keys above it still have a subkey.
  EXPECT_TRUE(sim::RegKeyExists(HKEY_CURRENT_USER, std::wstring(kTree) + L"\\a2\\b1\\c2"));
  EXPECT_FALSE(sim::RegKeyExists(HKEY_CURRENT_USER, std::wstring(kTree) + L"\\a2\\b2"));
  EXPECT_FALSE(sim::RegKeyExists(HKEY_CURRENT_USER, std::wstring(kTree) + L"\\a1"));
  EXPECT_FALSE(sim::RegKeyExists(HKEY_CURRENT_USER, std::wstring(kTree) + L"\\a3"));
  // The root of the tree itself refusing: nothing to delete.
  sim::DenyRegKeyAccess(HKEY_CURRENT_USER, kTree, KEY_SET_VALUE);
  EXPECT_EQ(-1, DeleteKeyTree(HKEY_CURRENT_USER, kParent, L"tree"));
  EXPECT_TRUE(sim::RegKeyExists(HKEY_CURRENT_USER, std::wstring(kTree) + L"\\a2\\b1\\c1"));
}

// Whichever heap allocation fails, the walk gives back every block and handle it took, deletes
// only keys whose subkeys are gone, and with enough memory deletes the whole tree.
TEST_F(KeyTreeTest, HeapExhaustionAtAnyPointLeaksNothing) {
  int successes = 0;
  for (;; ++successes) {
    ASSERT_LT(successes, 200);
    sim::Reset();
    MakeTree();
    sim::FailHeapAllocAfter(successes);
    int result = DeleteKeyTree(HKEY_CURRENT_USER, kParent, L"tree");
    sim::FailHeapAllocAfter(-1);
    ASSERT_EQ(0, sim::LiveHeapBlocks()) << "after " << successes << " allocations";
    ASSERT_EQ(0, sim::OpenRegHandles()) << "after " << successes << " allocations";
    // Without the root's name copy and node there is no list at all.
    EXPECT_EQ(successes < 2 ? -1 : 0, result) << "after " << successes << " allocations";
    if (!sim::RegKeyExists(HKEY_CURRENT_USER, kTree)) break;
  }
  // A name copy and a node for each of the 22 keys.
  EXPECT_EQ(2 * 22, successes);
}

}  // namespace
