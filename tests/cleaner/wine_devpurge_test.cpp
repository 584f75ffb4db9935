// devpurge.exe from the x64 build, run under Wine against the fake pnputil: the log file's bytes,
// the exit code and the command lines pnputil received, for whole runs of the tool.
#include <stdio.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "localized_enumerations.h"
#include "pnputil_script.h"

namespace {

using Lines = std::vector<std::string>;

const char kRule[] = "========================================";
const char kBom[] = "\xEF\xBB\xBF";

// CMake hands over paths of the build tree; Wine shows the host's root as drive Z:.
std::wstring WindowsPath(const char *hostPath) {
  std::wstring path = L"Z:";
  for (const char *c = hostPath; *c; ++c) path.push_back(*c == '/' ? L'\\' : static_cast<wchar_t>(*c));
  return path;
}

std::wstring Environment(const wchar_t *name) {
  wchar_t value[32767];
  DWORD n = GetEnvironmentVariableW(name, value, _countof(value));
  return n && n < _countof(value) ? std::wstring(value, n) : std::wstring();
}

bool ReadBytes(const std::wstring &path, std::string *bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  bytes->clear();
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof(buffer), &got, nullptr) && got) bytes->append(buffer, got);
  CloseHandle(file);
  return true;
}

void WriteBytes(const std::wstring &path, const std::string &bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, file);
  DWORD written = 0;
  EXPECT_TRUE(WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
  CloseHandle(file);
}

// "[YYYY-MM-DD hh:mm:ss] "
bool IsTimestampPrefix(const std::string &text, size_t at) {
  const char pattern[] = "[dddd-dd-dd dd:dd:dd] ";
  if (text.size() < at + sizeof(pattern) - 1) return false;
  for (size_t i = 0; i + 1 < sizeof(pattern); ++i) {
    char c = text[at + i];
    if (pattern[i] == 'd' ? (c < '0' || c > '9') : c != pattern[i]) return false;
  }
  return true;
}

struct Log {
  bool exists = false;
  int boms = 0;
  bool startsWithBom = false;
  bool wellFormed = true;
  Lines messages;
};

// Messages without their timestamps. A message ends at the CR LF before the next timestamp, so
// captured output with line ends of its own stays one message.
Log ReadLog(const std::wstring &path) {
  Log log;
  std::string bytes;
  if (!ReadBytes(path, &bytes)) return log;
  log.exists = true;
  log.startsWithBom = bytes.compare(0, 3, kBom) == 0;
  for (size_t at = bytes.find(kBom); at != std::string::npos; at = bytes.find(kBom, at + 1)) ++log.boms;
  size_t pos = log.startsWithBom ? 3 : 0;
  while (pos < bytes.size()) {
    if (!IsTimestampPrefix(bytes, pos)) {
      log.wellFormed = false;
      break;
    }
    size_t end = pos + 22;
    for (;;) {
      end = bytes.find("\r\n", end);
      if (end == std::string::npos || end + 2 == bytes.size() || IsTimestampPrefix(bytes, end + 2)) break;
      end += 2;
    }
    if (end == std::string::npos) {
      log.wellFormed = false;
      log.messages.push_back(bytes.substr(pos + 22));
      break;
    }
    log.messages.push_back(bytes.substr(pos + 22, end - pos - 22));
    pos = end + 2;
  }
  return log;
}

Lines Concat(std::initializer_list<Lines> parts) {
  Lines all;
  for (auto &part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

const Lines kBanner = {kRule, "devpurge for Vantrel REV_0102", kRule};
const Lines kNoDevices = {"Enumerating device instances (including hidden/phantom devices)...",
                          "Found 0 matching device instance(s)", "No device instances found"};
const Lines kSuccess = {"Device tree re-enumerated", kRule, "Cleanup complete - SUCCESS", kRule};

class DevpurgeUnderWineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
    folder_ = std::wstring(temp) + L"devpurge-wine-" + std::wstring(info->name(), info->name() + strlen(info->name()));
    CreateDirectoryW(folder_.c_str(), nullptr);
    logPath_ = folder_ + L"\\logs\\run.log";
    scriptPath_ = folder_ + L"\\pnputil.script";
    DeleteFileW(logPath_.c_str());
    DeleteFileW((scriptPath_ + L".calls").c_str());
    savedPath_ = Environment(L"PATH");
    UseFakePnputil(true);
  }
  void TearDown() override {
    SetEnvironmentVariableW(L"PATH", savedPath_.c_str());
    SetEnvironmentVariableW(L"FAKE_PNPUTIL_SCRIPT", nullptr);
  }

  void UseFakePnputil(bool onPath) {
    fakeOnPath_ = onPath;
    std::wstring path = onPath ? WindowsPath(FAKE_PNPUTIL_DIR) + L";" + savedPath_ : savedPath_;
    SetEnvironmentVariableW(L"PATH", path.c_str());
  }
  void SetScript(const PnputilScript &script) {
    WriteBytes(scriptPath_, script.Text());
    SetEnvironmentVariableW(L"FAKE_PNPUTIL_SCRIPT", scriptPath_.c_str());
  }
  // Runs devpurge.exe from the scenario's folder and returns its exit code.
  DWORD RunDevpurge(const std::wstring &arguments) {
    std::wstring command = L"\"" + WindowsPath(DEVPURGE_EXE) + L"\" " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, folder_.c_str(), &startup,
                        &process)) {
      ADD_FAILURE() << "devpurge.exe did not start: " << GetLastError();
      return 0xDEADBEEF;
    }
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process.hProcess, 120000));
    DWORD code = 0xDEADBEEF;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code;
  }
  // Wine now and then fails to start a console child (CreateProcess answers FALSE while the
  // child's console comes up), most often at the first start in a fresh session. A run in which
  // the tool could not start the fake pnputil although it was on PATH and the fake never ran is
  // made once more, from the log as it was before: a tool that cannot start pnputil at all still
  // fails, as it does so twice.
  DWORD RunWithLog() {
    std::string before;
    bool hadLog = ReadBytes(logPath_, &before);
    size_t callsBefore = PnputilCalls().size();
    DWORD code = RunDevpurge(L"--log \"" + logPath_ + L"\"");
    std::string after;
    if (fakeOnPath_ && PnputilCalls().size() == callsBefore && ReadBytes(logPath_, &after) &&
        after.find("ERROR: Failed to run pnputil", before.size()) != std::string::npos) {
      fprintf(stderr, "note: Wine did not start the fake pnputil; running devpurge once more\n");
      if (hadLog)
        WriteBytes(logPath_, before);
      else
        DeleteFileW(logPath_.c_str());
      code = RunDevpurge(L"--log \"" + logPath_ + L"\"");
    }
    return code;
  }
  Lines PnputilCalls() {
    std::string text;
    Lines calls;
    if (!ReadBytes(scriptPath_ + L".calls", &text)) return calls;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
      calls.push_back(text.substr(start, end - start));
    return calls;
  }

  std::wstring folder_, logPath_, scriptPath_, savedPath_;
  bool fakeOnPath_ = false;
};

TEST_F(DevpurgeUnderWineTest, NoMatchingPackagesSucceeds) {
  SetScript(PnputilScript().Command("/enum-drivers").Out("PnP utility\r\n\r\n").Block("oem1.inf", "other.inf"));
  EXPECT_EQ(0u, RunWithLog());
  Log log = ReadLog(logPath_);
  ASSERT_TRUE(log.exists) << "the log folder was not created";
  EXPECT_TRUE(log.startsWithBom);
  EXPECT_EQ(1, log.boms);
  EXPECT_TRUE(log.wellFormed);
  EXPECT_EQ(Concat({kBanner, {"Running as Administrator: OK"}, kNoDevices,
                    {"Searching for driver packages in Driver Store...",
                     "WARNING: 1 published name(s) listed (first: oem1.inf), none of them with vantrel_rev0102.inf or "
                     "VID_F1E5&PID_7A11&REV_0102",
                     "No matching driver packages found in Driver Store"},
                    kSuccess}),
            log.messages);
  EXPECT_EQ(Lines({"pnputil.exe /enum-drivers"}), PnputilCalls());
}

// Stores as Windows in other languages lists them, in the encodings they reach the pipe in.
TEST_F(DevpurgeUnderWineTest, EnumerationInAnyLanguageDeletesExactlyTheDevicesPackages) {
  for (const EnumerationLanguage &language : EnumerationLanguages()) {
    SCOPED_TRACE(language.name);
    DeleteFileW(logPath_.c_str());
    DeleteFileW((scriptPath_ + L".calls").c_str());
    SetScript(PnputilScript().Command("/enum-drivers").Out(LocalizedEnumeration(language)).Command("*").Exit(0));
    EXPECT_EQ(0u, RunWithLog());
    Lines calls = {"pnputil.exe /enum-drivers"}, stage = {"Searching for driver packages in Driver Store..."}, removals;
    for (const std::string &name : ExpectedDeletions(language)) {
      calls.push_back("pnputil.exe /delete-driver " + name + " /uninstall /force");
      stage.insert(stage.end(), {"Found matching original name: vantrel_rev0102.inf",
                                 "Added driver package for removal: " + name});
      removals.insert(removals.end(),
                      {"Removing driver package: " + name, "Driver package removed successfully: " + name});
    }
    Log log = ReadLog(logPath_);
    EXPECT_TRUE(log.wellFormed);
    EXPECT_EQ(Concat({kBanner, {"Running as Administrator: OK"}, kNoDevices, stage, removals, kSuccess}),
              log.messages);
    EXPECT_EQ(calls, PnputilCalls());
  }
}

TEST_F(DevpurgeUnderWineTest, OutputOfUnknownFormIsReportedInValidUtf8) {
  // Code page 932 without a colon: no published name can be read from it.
  SetScript(PnputilScript().Command("/enum-drivers").Out("\x8C\xF6\x8A\x4A\x96\xBC = oem12.inf\r\n"));
  EXPECT_EQ(0u, RunWithLog());
  Log log = ReadLog(logPath_);
  EXPECT_TRUE(log.wellFormed);
  EXPECT_EQ(Concat({kBanner, {"Running as Administrator: OK"}, kNoDevices,
                    {"Searching for driver packages in Driver Store...",
                     "WARNING: No published name recognised in 1 line(s) of pnputil output, such as: "
                     "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBDJ\xEF\xBF\xBD\xEF\xBF\xBD = oem12.inf",
                     "No matching driver packages found in Driver Store"},
                    kSuccess}),
            log.messages);
  std::string bytes;
  ASSERT_TRUE(ReadBytes(logPath_, &bytes));
  EXPECT_LT(0, MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(), static_cast<int>(bytes.size()),
                                   nullptr, 0));
}

TEST_F(DevpurgeUnderWineTest, MatchingPackageIsDeleted) {
  SetScript(PnputilScript()
                .Command("/enum-drivers")
                .Block("oem3.inf", "other.inf")
                .Pause(50)
                .Out("Published Name:     oem12.inf   \r\n")
                .Pause(50)
                .Out("Original Name:      vantrel_rev0102.inf\r\n")
                .Command("/delete-driver oem12.inf /uninstall /force")
                .Out("Driver package deleted successfully.\r\n"));
  EXPECT_EQ(0u, RunWithLog());
  Log log = ReadLog(logPath_);
  EXPECT_TRUE(log.wellFormed);
  EXPECT_EQ(Concat({kBanner, {"Running as Administrator: OK"}, kNoDevices,
                    {"Searching for driver packages in Driver Store...",
                     "Found matching original name: vantrel_rev0102.inf", "Added driver package for removal: oem12.inf",
                     "Removing driver package: oem12.inf", "Driver package removed successfully: oem12.inf"},
                    kSuccess}),
            log.messages);
  EXPECT_EQ(Lines({"pnputil.exe /enum-drivers", "pnputil.exe /delete-driver oem12.inf /uninstall /force"}),
            PnputilCalls());
}

TEST_F(DevpurgeUnderWineTest, DeleteAndFallbackFailingRequireReboot) {
  // The failure text holds a euro sign whose bytes reach the tool in two separate writes.
  SetScript(PnputilScript()
                .Command("/enum-drivers")
                .Block("oem12.inf", "vantrel_rev0102.inf")
                .Command("/delete-driver oem12.inf /uninstall /force")
                .Out("Deleting failed: \xE2\x82")
                .Pause(300)
                .Out("\xAC in use.\r\n")
                .Exit(3010)
                .Command("/delete-driver oem12.inf /force")
                .Exit(5));
  EXPECT_EQ(1u, RunWithLog());
  Log log = ReadLog(logPath_);
  EXPECT_TRUE(log.wellFormed);
  EXPECT_EQ(Concat({kBanner, {"Running as Administrator: OK"}, kNoDevices,
                    {"Searching for driver packages in Driver Store...",
                     "Found matching original name: vantrel_rev0102.inf", "Added driver package for removal: oem12.inf",
                     "Removing driver package: oem12.inf", "WARNING: pnputil returned exit code 3010",
                     "Output: Deleting failed: \xE2\x82\xAC in use.\r\r\n", "Driver removal may require reboot",
                     "Device tree re-enumerated", kRule, "Cleanup complete - REBOOT REQUIRED", kRule}}),
            log.messages);
  EXPECT_EQ(Lines({"pnputil.exe /enum-drivers", "pnputil.exe /delete-driver oem12.inf /uninstall /force",
                   "pnputil.exe /delete-driver oem12.inf /force"}),
            PnputilCalls());
}

TEST_F(DevpurgeUnderWineTest, MissingPnputilEndsWithMinus30) {
  UseFakePnputil(false);
  SetScript(PnputilScript().Command("/enum-drivers"));
  EXPECT_EQ(static_cast<DWORD>(-30), RunWithLog());
  Log log = ReadLog(logPath_);
  EXPECT_TRUE(log.wellFormed);
  EXPECT_EQ(Concat({kBanner, {"Running as Administrator: OK"}, kNoDevices,
                    {"Searching for driver packages in Driver Store...", "ERROR: Failed to run pnputil /enum-drivers",
                     "Driver package removal failed with code: -30"}}),
            log.messages);
  EXPECT_TRUE(PnputilCalls().empty());
}

TEST_F(DevpurgeUnderWineTest, TwoRunsAppendToOneLog) {
  SetScript(PnputilScript().Command("/enum-drivers"));
  EXPECT_EQ(0u, RunWithLog());
  EXPECT_EQ(0u, RunWithLog());
  Log log = ReadLog(logPath_);
  EXPECT_TRUE(log.startsWithBom);
  EXPECT_EQ(1, log.boms);
  EXPECT_TRUE(log.wellFormed);
  Lines one = Concat({kBanner, {"Running as Administrator: OK"}, kNoDevices,
                      {"Searching for driver packages in Driver Store...",
                       "No matching driver packages found in Driver Store"},
                      kSuccess});
  EXPECT_EQ(Concat({one, one}), log.messages);
}

TEST_F(DevpurgeUnderWineTest, UnopenableLogEndsWithMinus30AndNoOutput) {
  // A file stands where the log's folder would have to be.
  WriteBytes(folder_ + L"\\blocked", "not a folder");
  SetScript(PnputilScript().Command("/enum-drivers"));
  EXPECT_EQ(static_cast<DWORD>(-30), RunDevpurge(L"--LOG \"" + folder_ + L"\\blocked\\run.log\""));
  EXPECT_TRUE(PnputilCalls().empty());
}

// Phantom instances of the device in Wine's registry: the stage finds them. Wine's
// SetupDiSetClassInstallParamsW is a stub that fails, so they are reported and left in place.
TEST_F(DevpurgeUnderWineTest, PhantomInstancesInTheRegistryAreFound) {
  const wchar_t kEnum[] = L"System\\CurrentControlSet\\Enum\\USB";
  struct Instance {
    const wchar_t *key;
    const wchar_t *ids;  // REG_MULTI_SZ
    DWORD idsSize;
  } instances[] = {
      {L"VID_F1E5&PID_7A11\\PHANTOM1", L"USB\\VID_F1E5&PID_7A11&REV_0102\0USB\\VID_F1E5&PID_7A11\0",
       sizeof(L"USB\\VID_F1E5&PID_7A11&REV_0102\0USB\\VID_F1E5&PID_7A11\0")},
      {L"VID_F1E5&PID_7A11\\PHANTOM2", L"usb\\vid_f1e5&pid_7a11&rev_0102\0", sizeof(L"usb\\vid_f1e5&pid_7a11&rev_0102\0")},
      {L"VID_F1E5&PID_7A12\\OTHER", L"USB\\VID_F1E5&PID_7A12&REV_0102\0", sizeof(L"USB\\VID_F1E5&PID_7A12&REV_0102\0")},
  };
  const wchar_t kClassGuid[] = L"{4d36e96c-e325-11ce-bfc1-08002be10318}";
  for (const Instance &instance : instances) {
    HKEY key = nullptr;
    std::wstring path = std::wstring(kEnum) + L"\\" + instance.key;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                             &key, nullptr));
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExW(key, L"HardwareID", 0, REG_MULTI_SZ,
                                            reinterpret_cast<const BYTE *>(instance.ids), instance.idsSize));
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExW(key, L"ClassGUID", 0, REG_SZ, reinterpret_cast<const BYTE *>(kClassGuid),
                                            sizeof(kClassGuid)));
    RegCloseKey(key);
  }
  SetScript(PnputilScript().Command("/enum-drivers"));
  DWORD code = RunWithLog();
  for (const wchar_t *device : {L"VID_F1E5&PID_7A11", L"VID_F1E5&PID_7A12"})
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, (std::wstring(kEnum) + L"\\" + device).c_str()),
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, (std::wstring(kEnum) + L"\\" + device).c_str());

  EXPECT_EQ(0u, code);
  Log log = ReadLog(logPath_);
  ASSERT_GE(log.messages.size(), 10u);
  EXPECT_EQ("Found 2 matching device instance(s)", log.messages[5]);
  const std::string kWarning = "WARNING: SetupDiSetClassInstallParams failed: ";
  EXPECT_EQ(kWarning, log.messages[6].substr(0, kWarning.size()));
  EXPECT_EQ(kWarning, log.messages[7].substr(0, kWarning.size()));
  EXPECT_EQ("Removed 0 device instance(s)", log.messages[8]);
  EXPECT_EQ("Searching for driver packages in Driver Store...", log.messages[9]);
}

TEST(DevpurgeManifestTest, RequestsAdministratorAndListsSupportedSystems) {
  HMODULE image = LoadLibraryExW(WindowsPath(DEVPURGE_EXE).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(nullptr, image);
  HRSRC resource = FindResourceW(image, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
  ASSERT_NE(nullptr, resource);
  const char *data = static_cast<const char *>(LockResource(LoadResource(image, resource)));
  ASSERT_NE(nullptr, data);
  std::string manifest(data, SizeofResource(image, resource));
  FreeLibrary(image);
  EXPECT_NE(std::string::npos, manifest.find("level=\"requireAdministrator\" uiAccess=\"false\""));
  for (const char *system : {"{35138b9a-5d96-4fbd-8e2d-a2440225f93a}", "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",
                             "{1f676c76-80e1-4239-95bb-83d0f6d0da78}", "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"})
    EXPECT_NE(std::string::npos, manifest.find(system)) << system;
}

}  // namespace
