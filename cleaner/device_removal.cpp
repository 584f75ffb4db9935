#include "device_removal.h"

#include <string.h>
#include <wchar.h>

#include <string>
#include <vector>

#include "identity.h"
#include "log.h"

namespace {

// Pause after a removal pass, so that the PnP manager has finished with the removed instances
// before the driver packages behind them are deleted.
const DWORD kSettleMilliseconds = 500;

bool EqualsIgnoringAsciiCase(const wchar_t *text, size_t length, const wchar_t *expected) {
  if (wcslen(expected) != length) return false;
  for (size_t i = 0; i < length; ++i) {
    wchar_t a = text[i], b = expected[i];
    if (a >= L'a' && a <= L'z') a = static_cast<wchar_t>(a - L'a' + L'A');
    if (b >= L'a' && b <= L'z') b = static_cast<wchar_t>(b - L'a' + L'A');
    if (a != b) return false;
  }
  return true;
}

bool EntryNamesTarget(const wchar_t *entry, size_t length) {
  if (EqualsIgnoringAsciiCase(entry, length, kTargetHardwareId)) return true;
  return std::wstring(entry, length).find(kTargetIdentity) != std::wstring::npos;
}

}  // namespace

bool MatchesTargetHardwareId(HDEVINFO set, SP_DEVINFO_DATA &device) {
  WCHAR hardwareIds[4096];
  memset(hardwareIds, 0, sizeof(hardwareIds));
  DWORD type = 0;
  if (!SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID, &type, reinterpret_cast<PBYTE>(hardwareIds),
                                         sizeof(hardwareIds), /* RequiredSize */ nullptr))
    return false;
  // The walk stays inside the buffer even when the list fills it without its closing zeros.
  const WCHAR *end = hardwareIds + _countof(hardwareIds);
  for (const WCHAR *entry = hardwareIds; entry < end && *entry;) {
    size_t length = wcsnlen(entry, static_cast<size_t>(end - entry));
    if (EntryNamesTarget(entry, length)) return true;
    entry += length + 1;
  }
  return false;
}

int RemoveDeviceInstances() {
  LogLine(L"Enumerating device instances (including hidden/phantom devices)...");
  // All setup classes and no DIGCF_PRESENT: instances whose hardware is absent are listed too.
  HDEVINFO set = SetupDiGetClassDevsW(/* ClassGuid */ nullptr, L"USB", /* hwndParent */ nullptr, DIGCF_ALLCLASSES);
  if (set == INVALID_HANDLE_VALUE) {
    LogLine(L"ERROR: SetupDiGetClassDevs failed: %d", static_cast<int>(GetLastError()));
    return kResultDeviceRemovalFailed;
  }

  // Removal waits until the enumeration is over: the set must not change while it is walked.
  std::vector<SP_DEVINFO_DATA> matches;
  for (DWORD index = 0;; ++index) {
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof(device);
    if (!SetupDiEnumDeviceInfo(set, index, &device)) break;
    if (MatchesTargetHardwareId(set, device)) matches.push_back(device);
  }
  LogLine(L"Found %d matching device instance(s)", static_cast<int>(matches.size()));

  int result = kResultSuccess;
  int removed = 0;
  for (SP_DEVINFO_DATA &device : matches) {
    SP_REMOVEDEVICE_PARAMS params = {};
    params.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
    params.ClassInstallHeader.InstallFunction = DIF_REMOVE;
    params.Scope = DI_REMOVEDEVICE_GLOBAL;
    params.HwProfile = 0;
    if (!SetupDiSetClassInstallParamsW(set, &device, &params.ClassInstallHeader, sizeof(params))) {
      LogLine(L"WARNING: SetupDiSetClassInstallParams failed: %d", static_cast<int>(GetLastError()));
      continue;
    }
    if (SetupDiCallClassInstaller(DIF_REMOVE, set, &device)) {
      ++removed;
      LogLine(L"Device instance removed successfully");
      continue;
    }
    DWORD error = GetLastError();
    LogLine(L"WARNING: SetupDiCallClassInstaller failed: %d", static_cast<int>(error));
    // Access denied will not get better for the next instance: the tool lacks the right to remove.
    if (error == ERROR_ACCESS_DENIED) {
      result = kResultDeviceRemovalFailed;
      break;
    }
  }
  SetupDiDestroyDeviceInfoList(set);

  if (matches.empty()) {
    LogLine(L"No device instances found");
  } else if (result == kResultSuccess) {
    LogLine(L"Removed %d device instance(s)", removed);
    Sleep(kSettleMilliseconds);
  }
  return result;
}
