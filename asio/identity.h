// The identity file beside the module, the process-wide values read from it, and the ANSI to
// UTF-16 conversion the readers (and the device listing) use.
#pragma once

#include <windows.h>
#include <objbase.h>

// The module's file name; the identity file is only found when the driver is installed under it.
#define DRIVER_MODULE_NAME L"asio.dll"

// Capacity of DeviceIdPrefix in characters, terminator included.
enum { kDeviceIdPrefixChars = 50 };

// Class identifier from line 1 of the identity file; also the interface identifier under which
// the driver object hands out IASIO.
extern CLSID DriverClassId;
// Device-instance-ID prefix from line 2 of the identity file.
extern WCHAR DeviceIdPrefix[kDeviceIdPrefixChars];

// Full path of the loaded module named "asio.dll" (or, when none is loaded, of the process's
// executable). False when the path cannot be had or does not fit `capacity` characters.
bool GetDriverModulePath(WCHAR *path, DWORD capacity);

// Converts ANSI text to a new UTF-16 string in COM task memory. Null in, null out.
HRESULT AnsiToTaskString(const char *ansi, LPOLESTR *out);

// Line 1 into *classId, line 2 into prefix. 0 or -1; on -1 the outputs are not to be used.
int LoadClassIdentity(CLSID *classId, WCHAR (&prefix)[kDeviceIdPrefixChars]);

// The lines LoadDriverIdentity takes, from the identity file of the module at `modulePath`
// (which need not be loaded): line 1 into *classId, lines 4 and 3 into *description and
// *driverName as task-memory strings. 0 or -1; on -1 both strings are null.
int LoadIdentityAt(const WCHAR *modulePath, CLSID *classId, LPOLESTR *description, LPOLESTR *driverName);

// Module file name into moduleFileName; line 4 into *description and line 3 into *driverName as
// task-memory strings the caller frees with CoTaskMemFree; line 1 into DriverClassId.
// 0 or -1; on -1 both strings are null.
int LoadDriverIdentity(WCHAR (&moduleFileName)[MAX_PATH], LPOLESTR *description, LPOLESTR *driverName);
