#include "cleaner_fixture.h"

#include <stdlib.h>

#include "flow.h"
#include "sim/devices.h"
#include "sim/handles.h"
#include "sim/machine.h"
#include "sim/process.h"
#include "sim/system.h"

namespace {
const wchar_t kScriptPath[] = L"C:\\Tests\\pnputil.script";
const char kBom[] = "\xEF\xBB\xBF";
}  // namespace

const wchar_t CleanerTest::kLogPath[] = L"C:\\Logs\\devpurge.log";
const char CleanerTest::kPrefix[] = "[2026-03-04 05:06:07] ";

std::string Utf8(const std::wstring &text) {
  std::string out;
  if (text.empty()) return out;
  int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  out.resize(static_cast<size_t>(n));
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &out[0], n, nullptr, nullptr);
  return out;
}

void CleanerTest::SetUp() {
  MachineTest::SetUp();
  sim::SetTokenElevation(1);
  SYSTEMTIME now = {};
  now.wYear = 2026;
  now.wMonth = 3;
  now.wDay = 4;
  now.wHour = 5;
  now.wMinute = 6;
  now.wSecond = 7;
  now.wMilliseconds = 890;
  sim::SetLocalTime(now);
  sim::InstallProgram(L"C:\\Windows\\System32\\pnputil.exe", FAKE_PNPUTIL_PATH);
  SetScript(PnputilScript().Command("/enum-drivers").Exit(0));
  sim::CreateDirectory(L"C:\\Logs");
}

void CleanerTest::TearDown() {
  EXPECT_EQ(0, sim::OpenHandles()) << "kernel-object handles left open";
  EXPECT_EQ(0, sim::OpenDeviceInfoSets()) << "device information sets not destroyed";
  unsetenv("FAKE_PNPUTIL_SCRIPT");
  MachineTest::TearDown();
}

void CleanerTest::SetScript(const PnputilScript &script) {
  sim::WriteFile(kScriptPath, script.Text());
  setenv("FAKE_PNPUTIL_SCRIPT", sim::HostPath(kScriptPath).c_str(), 1);
}

std::vector<std::string> CleanerTest::PnputilCalls() {
  std::vector<std::string> calls;
  std::string text;
  if (!sim::ReadFile(std::wstring(kScriptPath) + L".calls", &text)) return calls;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
    calls.push_back(text.substr(start, end - start));
  return calls;
}

LogContents CleanerTest::ReadLog(const std::wstring &path) {
  LogContents log;
  std::string bytes;
  if (!sim::ReadFile(path, &bytes)) return log;
  log.exists = true;
  log.startsWithBom = bytes.compare(0, 3, kBom) == 0;
  for (size_t at = bytes.find(kBom); at != std::string::npos; at = bytes.find(kBom, at + 1)) ++log.boms;
  size_t pos = log.startsWithBom ? 3 : 0;
  const std::string prefix(kPrefix);
  // A message runs from its prefix to the CR LF before the next prefix; captured output inside a
  // message may hold line ends of its own.
  while (pos < bytes.size()) {
    if (bytes.compare(pos, prefix.size(), prefix) != 0) {
      log.wellFormed = false;
      break;
    }
    size_t next = bytes.find("\r\n" + prefix, pos);
    size_t end = next == std::string::npos ? bytes.size() : next + 2;
    std::string line = bytes.substr(pos + prefix.size(), end - pos - prefix.size());
    if (line.size() < 2 || line.compare(line.size() - 2, 2, "\r\n") != 0) log.wellFormed = false;
    else line.resize(line.size() - 2);
    log.messages.push_back(line);
    pos = end;
  }
  return log;
}

int CleanerTest::RunDevpurge(const std::vector<std::wstring> &arguments) {
  std::vector<std::wstring> storage;
  storage.push_back(L"devpurge.exe");
  storage.insert(storage.end(), arguments.begin(), arguments.end());
  std::vector<wchar_t *> argv;
  for (auto &argument : storage) argv.push_back(&argument[0]);
  argv.push_back(nullptr);
  return DevpurgeMain(static_cast<int>(storage.size()), argv.data());
}
