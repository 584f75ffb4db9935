#include "flow.h"

#include <windows.h>

#include <cfgmgr32.h>
#include <shlobj.h>

#include <string>

#include "device_removal.h"
#include "elevation.h"
#include "identity.h"
#include "log.h"
#include "package_removal.h"

namespace {

const wchar_t kRule[] = L"========================================";

// True when the argument is "--log", compared without regard to the case of ASCII letters only.
bool IsLogOption(const wchar_t *argument) {
  const wchar_t kOption[] = L"--log";
  size_t i = 0;
  for (; kOption[i]; ++i) {
    wchar_t c = argument[i];
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    if (c != kOption[i]) return false;
  }
  return argument[i] == L'\0';
}

std::wstring LogPathFromArguments(int argc, wchar_t **argv) {
  std::wstring path = kDefaultLogPath;
  for (int i = 1; i < argc; ++i) {
    // The value after the option is taken as it stands, even when it looks like an option.
    if (IsLogOption(argv[i]) && i + 1 < argc) path = argv[++i];
  }
  return path;
}

void CreateLogFolder(const std::wstring &path) {
  size_t separator = path.find_last_of(L"\\/");
  if (separator == std::wstring::npos) return;
  std::wstring folder = path.substr(0, separator);
  // An existing folder or a failure shows when the log is opened.
  SHCreateDirectoryExW(/* hwnd */ nullptr, folder.c_str(), /* psa */ nullptr);
}

// Asks the PnP manager to enumerate the whole device tree again. The root node is looked up
// first: device instance 0 names no node at all, and the configuration manager refuses it.
void ReenumerateDeviceTree() {
  DEVINST root = 0;
  if (CM_Locate_DevNodeW(&root, /* pDeviceID */ nullptr, CM_LOCATE_DEVNODE_NORMAL) == CR_SUCCESS)
    CM_Reenumerate_DevNode(root, CM_REENUMERATE_NORMAL);
}

// Everything after the log is open; the caller closes the log on every way out.
int RunStages() {
  LogLine(kRule);
  LogLine(L"devpurge for Vantrel REV_0102");
  LogLine(kRule);

  if (!IsProcessElevated()) {
    LogLine(L"ERROR: Not running as Administrator");
    return kResultNotElevated;
  }
  LogLine(L"Running as Administrator: OK");
  bool rebootRequired = false;

  int result = RemoveDeviceInstances();
  if (result != kResultSuccess) {
    LogLine(L"Device removal failed with code: %d", result);
    return result;
  }
  result = RemoveDriverPackages(rebootRequired);
  if (result != kResultSuccess) {
    LogLine(L"Driver package removal failed with code: %d", result);
    return result;
  }

  ReenumerateDeviceTree();
  LogLine(L"Device tree re-enumerated");

  LogLine(kRule);
  LogLine(rebootRequired ? L"Cleanup complete - REBOOT REQUIRED" : L"Cleanup complete - SUCCESS");
  LogLine(kRule);
  return rebootRequired ? kResultRebootRequired : kResultSuccess;
}

}  // namespace

int DevpurgeMain(int argc, wchar_t **argv) {
  std::wstring logPath = LogPathFromArguments(argc, argv);
  CreateLogFolder(logPath);
  if (!OpenLogStream(logPath)) return kResultLogOpenFailed;
  int result = RunStages();
  CloseLogStream();
  return result;
}
