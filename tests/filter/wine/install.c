/*
 * umftest_install: puts the usbmodeflt test device into a Wine prefix and takes it out again.
 *
 *   umftest_install install <folder>   the folder holds umftestbus.sys, umftestfn.sys,
 *                                      usbmodeflt.sys, umftestbus.inf and umftestdevice.inf
 *   umftest_install remove             removes everything install made, also what an earlier
 *                                      run left behind, and checks that nothing is left
 *
 * Install copies the drivers to the system drivers folder, puts the child's INF into the INF
 * folder (where the PnP manager looks for a driver when the bus reports the child), creates the
 * root-enumerated bus devnode, installs the bus from its INF, which starts the bus's service, and
 * waits until the bus's control device opens. Exit code 0 on success; for remove, the number of
 * things still left.
 */
#include <windows.h>
#include <cfgmgr32.h>
#include <newdev.h>
#include <setupapi.h>

#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include "umftest_journal.h"

#define WAIT_MS 15000u
#define SERVICE_STOP_WAIT_MS 5000u

/* Both INFs carry this word; an INF in the INF folder that has it is one of ours. */
static const char FixtureMarker[] = "UmfTestFixture";

static const wchar_t *const DriverFiles[] = {L"umftestbus.sys", L"umftestfn.sys",
                                             L"usbmodeflt.sys"};
static const wchar_t *const Services[] = {UMFTEST_BUS_SERVICE, UMFTEST_FUNCTION_SERVICE,
                                          UMFTEST_FILTER_SERVICE};
static const wchar_t ChildInstance[] = UMFTEST_DEVICE_ID L"\\" UMFTEST_INSTANCE_ID;

static int Fail(const char *what)
{
  printf("umftest_install: %s failed (error %lu)\n", what, GetLastError());
  return 1;
}

static int JoinPath(wchar_t *out, size_t capacity, const wchar_t *folder, const wchar_t *name)
{
  int written = _snwprintf(out, capacity, L"%ls\\%ls", folder, name);
  return written > 0 && (size_t)written < capacity;
}

static int DriversFolder(wchar_t *out, size_t capacity)
{
  wchar_t system[MAX_PATH];
  UINT length = GetSystemDirectoryW(system, MAX_PATH);

  return length > 0 && length < MAX_PATH && JoinPath(out, capacity, system, L"drivers");
}

/* Our device instances: the bus under ROOT, the child under USB. */
static int IsOurInstance(const wchar_t *id)
{
  static const wchar_t busPrefix[] = L"ROOT\\UMFTESTBUS\\";

  return _wcsnicmp(id, busPrefix, wcslen(busPrefix)) == 0 || _wcsicmp(id, ChildInstance) == 0;
}

/* Removes (or, with remove 0, only counts) our device instances under one enumerator. */
static int ForOurInstances(const wchar_t *enumerator, int remove)
{
  SP_DEVINFO_DATA device;
  wchar_t id[MAX_DEVICE_ID_LEN];
  HDEVINFO set;
  DWORD i;
  int found = 0;

  set = SetupDiGetClassDevsW(NULL, enumerator, NULL, DIGCF_ALLCLASSES);
  if (set == INVALID_HANDLE_VALUE) {
    return 0;
  }
  device.cbSize = sizeof(device);
  for (i = 0; SetupDiEnumDeviceInfo(set, i, &device); i++) {
    if (!SetupDiGetDeviceInstanceIdW(set, &device, id, MAX_DEVICE_ID_LEN, NULL) ||
        !IsOurInstance(id)) {
      continue;
    }
    found++;
    if (remove) {
      printf("  removing device %ls: %s\n", id,
             SetupDiCallClassInstaller(DIF_REMOVE, set, &device) ? "done" : "failed");
    } else {
      printf("  left: device %ls\n", id);
    }
  }
  SetupDiDestroyDeviceInfoList(set);
  return found;
}

static int ForOurServices(int remove)
{
  SC_HANDLE manager, service;
  SERVICE_STATUS status;
  size_t i;
  DWORD start;
  int found = 0;

  manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_ALL_ACCESS);
  if (manager == NULL) {
    printf("  the service manager does not open (error %lu)\n", GetLastError());
    return 1;
  }
  for (i = 0; i < sizeof(Services) / sizeof(Services[0]); i++) {
    service = OpenServiceW(manager, Services[i], SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE);
    if (service == NULL) {
      continue;
    }
    found++;
    if (!remove) {
      printf("  left: service %ls\n", Services[i]);
      CloseServiceHandle(service);
      continue;
    }
    if (QueryServiceStatus(service, &status) && status.dwCurrentState != SERVICE_STOPPED) {
      ControlService(service, SERVICE_CONTROL_STOP, &status);
      start = GetTickCount();
      while (QueryServiceStatus(service, &status) && status.dwCurrentState != SERVICE_STOPPED &&
             GetTickCount() - start < SERVICE_STOP_WAIT_MS) {
        Sleep(100);
      }
    }
    printf("  deleting service %ls (state %lu): %s\n", Services[i], status.dwCurrentState,
           DeleteService(service) ? "done" : "failed");
    CloseServiceHandle(service);
  }
  CloseServiceHandle(manager);
  return found;
}

static int ForOurFiles(int remove)
{
  wchar_t folder[MAX_PATH], path[MAX_PATH];
  size_t i;
  int found = 0;

  if (!DriversFolder(folder, MAX_PATH)) {
    return 1;
  }
  for (i = 0; i < sizeof(DriverFiles) / sizeof(DriverFiles[0]); i++) {
    if (!JoinPath(path, MAX_PATH, folder, DriverFiles[i]) ||
        GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES) {
      continue;
    }
    found++;
    if (remove) {
      printf("  deleting %ls: %s\n", path, DeleteFileW(path) ? "done" : "failed");
    } else {
      printf("  left: %ls\n", path);
    }
  }
  return found;
}

static int FileHasMarker(const wchar_t *path)
{
  char text[16384];
  DWORD bytes = 0;
  HANDLE file;

  file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
  if (file == INVALID_HANDLE_VALUE) {
    return 0;
  }
  if (!ReadFile(file, text, sizeof(text) - 1, &bytes, NULL)) {
    bytes = 0;
  }
  CloseHandle(file);
  text[bytes] = '\0';
  return strstr(text, FixtureMarker) != NULL;
}

/* The INFs that this run uninstalled, so the check afterwards can look for them by name. */
static wchar_t RemovedInfs[16][MAX_PATH];
static size_t RemovedInfCount;

/* The precompiled file that setupapi keeps beside an INF: the same name with ".pnf". */
static int PnfOf(wchar_t *pnf, size_t capacity, const wchar_t *inf)
{
  size_t length = wcslen(inf);

  if (length < 4 || length >= capacity) {
    return 0;
  }
  wcscpy(pnf, inf);
  wcscpy(pnf + length - 4, L".pnf");
  return 1;
}

/*
 * Wine deletes an OEM INF only when forced, and leaves its .pnf even then; what stays would
 * compete for the same hardware ID in the next run. Wine keeps the INF's own name when it is
 * free, so every INF there is looked at, not only oem*.inf.
 */
static int RemoveOurInfs(void)
{
  wchar_t windows[MAX_PATH], pattern[MAX_PATH], path[MAX_PATH], pnf[MAX_PATH];
  WIN32_FIND_DATAW found;
  HANDLE search;
  UINT length;

  length = GetWindowsDirectoryW(windows, MAX_PATH);
  if (length == 0 || length >= MAX_PATH ||
      _snwprintf(pattern, MAX_PATH, L"%ls\\inf\\*.inf", windows) <= 0) {
    return 1;
  }
  search = FindFirstFileW(pattern, &found);
  if (search == INVALID_HANDLE_VALUE) {
    return 0;
  }
  do {
    if (_snwprintf(path, MAX_PATH, L"%ls\\inf\\%ls", windows, found.cFileName) <= 0 ||
        !FileHasMarker(path)) {
      continue;
    }
    printf("  uninstalling %ls: %s\n", found.cFileName,
           SetupUninstallOEMInfW(found.cFileName, SUOI_FORCEDELETE, NULL) ? "done" : "failed");
    if (PnfOf(pnf, MAX_PATH, path) && GetFileAttributesW(pnf) != INVALID_FILE_ATTRIBUTES) {
      printf("  deleting %ls: %s\n", pnf, DeleteFileW(pnf) ? "done" : "failed");
    }
    if (RemovedInfCount < sizeof(RemovedInfs) / sizeof(RemovedInfs[0])) {
      wcscpy(RemovedInfs[RemovedInfCount++], path);
    }
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return 0;
}

/* Counts INFs with the marker, and the INFs and .pnf files that this run removed, still there. */
static int CountOurInfs(void)
{
  wchar_t windows[MAX_PATH], pattern[MAX_PATH], path[MAX_PATH], pnf[MAX_PATH];
  WIN32_FIND_DATAW found;
  HANDLE search;
  UINT length;
  size_t i;
  int count = 0;

  length = GetWindowsDirectoryW(windows, MAX_PATH);
  if (length == 0 || length >= MAX_PATH ||
      _snwprintf(pattern, MAX_PATH, L"%ls\\inf\\*.inf", windows) <= 0) {
    return 1;
  }
  search = FindFirstFileW(pattern, &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      if (_snwprintf(path, MAX_PATH, L"%ls\\inf\\%ls", windows, found.cFileName) > 0 &&
          FileHasMarker(path)) {
        printf("  left: %ls\n", path);
        count++;
      }
    } while (FindNextFileW(search, &found));
    FindClose(search);
  }
  for (i = 0; i < RemovedInfCount; i++) {
    if (PnfOf(pnf, MAX_PATH, RemovedInfs[i]) &&
        GetFileAttributesW(pnf) != INVALID_FILE_ATTRIBUTES) {
      printf("  left: %ls\n", pnf);
      count++;
    }
  }
  return count;
}

static int Remove(void)
{
  int left;

  /* The bus first: its removal takes the child's stack down with it. */
  ForOurInstances(L"ROOT", 1);
  ForOurInstances(L"USB", 1);
  ForOurServices(1);
  ForOurFiles(1);
  RemoveOurInfs();

  left = ForOurInstances(L"ROOT", 0) + ForOurInstances(L"USB", 0) + ForOurServices(0) +
         ForOurFiles(0) + CountOurInfs();
  printf("umftest_install: %s\n", left == 0 ? "nothing of the test device is left"
                                            : "some of the test device is left");
  return left;
}

static int Install(const wchar_t *folder)
{
  static const wchar_t busHardwareId[] = UMFTEST_BUS_HARDWARE_ID L"\0";
  static const GUID noClass = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
  wchar_t drivers[MAX_PATH], from[MAX_PATH], to[MAX_PATH], inf[MAX_PATH], copied[MAX_PATH];
  SP_DEVINFO_DATA device;
  HDEVINFO set;
  HANDLE control = INVALID_HANDLE_VALUE;
  BOOL reboot = FALSE;
  DWORD start;
  size_t i;

  if (!DriversFolder(drivers, MAX_PATH)) {
    return Fail("finding the drivers folder");
  }
  for (i = 0; i < sizeof(DriverFiles) / sizeof(DriverFiles[0]); i++) {
    if (!JoinPath(from, MAX_PATH, folder, DriverFiles[i]) ||
        !JoinPath(to, MAX_PATH, drivers, DriverFiles[i]) || !CopyFileW(from, to, FALSE)) {
      printf("  copying %ls\n", from);
      return Fail("copying a driver");
    }
  }

  if (!JoinPath(inf, MAX_PATH, folder, L"umftestdevice.inf") ||
      !SetupCopyOEMInfW(inf, NULL, SPOST_PATH, 0, copied, MAX_PATH, NULL, NULL)) {
    return Fail("SetupCopyOEMInfW of the child's INF");
  }
  printf("  the child's INF is %ls\n", copied);

  set = SetupDiCreateDeviceInfoList(NULL, NULL);
  if (set == INVALID_HANDLE_VALUE) {
    return Fail("SetupDiCreateDeviceInfoList");
  }
  device.cbSize = sizeof(device);
  if (!SetupDiCreateDeviceInfoW(set, UMFTEST_BUS_INSTANCE, &noClass, NULL, NULL, 0, &device) ||
      !SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID,
                                         (const BYTE *)busHardwareId, sizeof(busHardwareId)) ||
      !SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device)) {
    SetupDiDestroyDeviceInfoList(set);
    return Fail("registering the bus devnode");
  }
  SetupDiDestroyDeviceInfoList(set);

  if (!JoinPath(inf, MAX_PATH, folder, L"umftestbus.inf") ||
      !UpdateDriverForPlugAndPlayDevicesW(NULL, UMFTEST_BUS_HARDWARE_ID, inf, INSTALLFLAG_FORCE,
                                          &reboot)) {
    return Fail("UpdateDriverForPlugAndPlayDevicesW for the bus");
  }

  start = GetTickCount();
  while ((control = CreateFileW(UMFTEST_CONTROL_PATH, GENERIC_READ | GENERIC_WRITE, 0, NULL,
                                OPEN_EXISTING, 0, NULL)) == INVALID_HANDLE_VALUE &&
         GetTickCount() - start < WAIT_MS) {
    Sleep(100);
  }
  if (control == INVALID_HANDLE_VALUE) {
    return Fail("opening the bus's control device");
  }
  CloseHandle(control);
  printf("umftest_install: the bus is installed and its control device opens\n");
  return 0;
}

int wmain(int argc, wchar_t **argv)
{
  setvbuf(stdout, NULL, _IONBF, 0);
  if (argc == 3 && wcscmp(argv[1], L"install") == 0) {
    return Install(argv[2]);
  }
  if (argc == 2 && wcscmp(argv[1], L"remove") == 0) {
    return Remove();
  }
  printf("usage: umftest_install install <folder> | remove\n");
  return 2;
}
