// What the lifecycle hosts share: finding the driver by its registered name, making it through
// COM or through its module, opening a stream, and reporting in a way that still works inside
// DllMain at process exit.
#pragma once

#include <windows.h>
#include <objbase.h>

#include "asio_interface.h"

struct DriverLocation {
  CLSID classId;
  WCHAR path[MAX_PATH + 1];  // InprocServer32
};

// HKLM\SOFTWARE\ASIO\<name> in the view of the host's own bitness, as hosts read it.
bool FindDriver(const wchar_t *name, DriverLocation *found);

// As hosts do: the class identifier is also the interface asked for.
IASIO *CreateThroughCom(const DriverLocation &driver);

// As a host that loads the module itself: its class factory, asked for by the module's export.
IASIO *CreateFromModule(HMODULE module, const DriverLocation &driver);

// init, 44100 Hz, both outputs at the preferred size, start. False (and says why) on a refusal.
bool OpenStream(IASIO *asio, ASIOCallbacks *callbacks);

// Polls until *counter reaches at least target; false after milliseconds.
bool WaitForCount(volatile LONG *counter, LONG target, DWORD milliseconds);

// A line on standard output, written at once with WriteFile: the C runtime's stream may already
// be shut down when a DLL detaches at process exit, and a killed host must leave its lines behind.
void Say(const char *format, ...) __attribute__((format(gnu_printf, 1, 2)));

// A crash on any thread becomes a "crash:" line and exit code 70 instead of Wine's debugger.
void ReportCrashes();
