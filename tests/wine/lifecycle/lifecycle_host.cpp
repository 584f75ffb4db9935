// A host that gives the driver up at the edges of its life, one way per mode:
//
//   lifecycle_host NAME release-in-switch cofree|freelibrary stop|nostop ROUNDS
//       each round: open a stream, Release the driver inside bufferSwitch (after a stop, or
//       without), and on the main thread free the module at once: CoFreeUnusedLibraries, or (the
//       host loaded asio.dll itself) FreeLibrary as soon as DllCanUnloadNow says S_OK; all the
//       while other threads keep the processors busy, and the host runs on 500 ms at the end
//   lifecycle_host NAME exit-process      ExitProcess(7) while playing
//   lifecycle_host NAME static-release    Release from a global object's destructor while playing
//   lifecycle_host NAME plugin-exit DLL   a plugin DLL plays; the process ends with it loaded
//   lifecycle_host NAME plugin-free DLL   a plugin DLL plays; FreeLibrary of it while running on
//   lifecycle_host NAME racing-stop ROUNDS
//       bufferSwitch sleeps 100 ms and stops while the main thread stops 20 ms into that switch
//
// "leaving" is the last line before the process ends by itself: the scenario times the exit from
// it. A crash on any thread prints "crash:" and ends the process with 70; other failures give 1.
#include <windows.h>
#include <objbase.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "driver_host.h"

namespace {

// Long enough for the stream to be well under way, short enough to keep rounds quick.
const LONG kSwitchesBeforeTheEdge = 4;
// Generous: a driver that never reaches the edge is reported, not waited for.
const DWORD kDeadline = 10000;

IASIO *Driver = nullptr;
volatile LONG Switches = 0;

struct ReleaseInSwitch {
  bool stopFirst = false;
  HANDLE released = nullptr;
  volatile ULONG referencesLeft = 0;
} InSwitch;

struct RacingStop {
  HANDLE switchBegun = nullptr;
  HANDLE hostStopped = nullptr;
} Racing;

enum class Edge { none, releaseInSwitch, racingStop } SwitchEdge = Edge::none;

void BufferSwitch(long, ASIOBool) {
  LONG count = InterlockedIncrement(&Switches);
  if (count != kSwitchesBeforeTheEdge) return;
  if (SwitchEdge == Edge::releaseInSwitch) {
    IASIO *asio = Driver;
    if (InSwitch.stopFirst) asio->stop();
    InSwitch.referencesLeft = asio->Release();
    SetEvent(InSwitch.released);
  } else if (SwitchEdge == Edge::racingStop) {
    SetEvent(Racing.switchBegun);
    Sleep(100);
    Driver->stop();
    SetEvent(Racing.hostStopped);
  }
}

void SampleRateDidChange(ASIOSampleRate) {}

long AsioMessage(long selector, long value, void *, double *) {
  if (selector == kAsioSelectorSupported) return value == kAsioEngineVersion;
  return selector == kAsioEngineVersion ? 2 : 0;
}

ASIOTime *BufferSwitchTimeInfo(ASIOTime *params, long index, ASIOBool direct) {
  BufferSwitch(index, direct);
  return params;
}

ASIOCallbacks Callbacks = {BufferSwitch, SampleRateDidChange, AsioMessage, BufferSwitchTimeInfo};

// Makes the driver and lets it play until it has switched a few times.
bool Play(IASIO *asio) {
  Driver = asio;
  Switches = 0;
  if (!asio || !OpenStream(asio, &Callbacks)) return false;
  if (!WaitForCount(&Switches, kSwitchesBeforeTheEdge - 1, kDeadline)) {
    Say("the stream did not switch buffers within %lu ms\n", kDeadline);
    return false;
  }
  return true;
}

// Work on other threads while the driver goes: one spinning thread per processor, so that a
// driver thread that outlives its module is likely to be caught running in it.
volatile LONG BusyRounds = 0;

DWORD WINAPI Busy(void *) {
  for (;;) {
    volatile unsigned x = 1;
    for (int i = 0; i < 100000; ++i) x = x * 1664525u + 1013904223u;
    InterlockedIncrement(&BusyRounds);
  }
}

void StartBusyThreads() {
  SYSTEM_INFO system;
  GetSystemInfo(&system);
  for (DWORD i = 0; i < system.dwNumberOfProcessors; ++i) CloseHandle(CreateThread(nullptr, 0, Busy, nullptr, 0, nullptr));
}

bool ModuleLoaded(const DriverLocation &driver) { return GetModuleHandleW(driver.path) != nullptr; }

int ReleaseInSwitchRounds(const DriverLocation &driver, bool ownModule, bool stopFirst, int rounds) {
  typedef HRESULT(STDAPICALLTYPE * CanUnloadFunction)();
  SwitchEdge = Edge::releaseInSwitch;
  InSwitch.stopFirst = stopFirst;
  InSwitch.released = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  StartBusyThreads();
  for (int round = 1; round <= rounds; ++round) {
    HMODULE module = ownModule ? LoadLibraryW(driver.path) : nullptr;
    if (ownModule && !module) {
      Say("round %d: LoadLibrary failed: %lu\n", round, GetLastError());
      return 1;
    }
    if (!Play(ownModule ? CreateFromModule(module, driver) : CreateThroughCom(driver))) return 1;
    if (WaitForSingleObject(InSwitch.released, kDeadline) != WAIT_OBJECT_0) {
      Say("round %d: bufferSwitch did not come round to the release within %lu ms\n", round, kDeadline);
      return 1;
    }
    if (InSwitch.referencesLeft != 0) {
      Say("round %d: Release left %lu references\n", round, static_cast<unsigned long>(InSwitch.referencesLeft));
      return 1;
    }
    // Exactly what a host may do: the moment the module says it may go, it goes. Asked again and
    // again, without a pause, so that the moment is met as closely as the host can.
    CanUnloadFunction canUnload = ownModule ? reinterpret_cast<CanUnloadFunction>(reinterpret_cast<void (*)()>(
                                                  GetProcAddress(module, "DllCanUnloadNow")))
                                            : nullptr;
    DWORD begun = GetTickCount();
    while (ModuleLoaded(driver)) {
      if (!ownModule) {
        CoFreeUnusedLibraries();
      } else if (module && canUnload() == S_OK) {
        FreeLibrary(module);
        module = nullptr;
      }
      if (GetTickCount() - begun > kDeadline) {
        Say("round %d: the module is still loaded %lu ms after the release\n", round, kDeadline);
        return 1;
      }
      Sleep(0);
    }
    // A moment for a thread left behind to run into the module's old address range.
    Sleep(50);
  }
  LONG busyBefore = BusyRounds;
  Sleep(500);
  Say("%d rounds, the module gone after each; busy threads ran on: %s\n", rounds, BusyRounds > busyBefore ? "yes" : "no");
  return BusyRounds > busyBefore ? 0 : 1;
}

int RacingStopRounds(const DriverLocation &driver, int rounds) {
  SwitchEdge = Edge::racingStop;
  Racing.switchBegun = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  Racing.hostStopped = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  for (int round = 1; round <= rounds; ++round) {
    if (!Play(CreateThroughCom(driver))) return 1;
    if (WaitForSingleObject(Racing.switchBegun, kDeadline) != WAIT_OBJECT_0) {
      Say("round %d: the switch that stops never came\n", round);
      return 1;
    }
    Sleep(20);
    ASIOError stopped = Driver->stop();
    if (WaitForSingleObject(Racing.hostStopped, kDeadline) != WAIT_OBJECT_0) {
      Say("round %d: the stop inside bufferSwitch did not return within %lu ms\n", round, kDeadline);
      return 1;
    }
    ASIOError disposed = Driver->disposeBuffers();
    ULONG left = Driver->Release();
    Say("round %d: stop %ld, disposeBuffers %ld, Release leaves %lu\n", round, stopped, disposed,
        static_cast<unsigned long>(left));
    if (stopped != ASE_OK || disposed != ASE_OK || left != 0) return 1;
  }
  return 0;
}

// Gives the driver up from its destructor, which runs as the C runtime ends the process.
struct ReleaseAtExit {
  IASIO *asio = nullptr;
  ~ReleaseAtExit() {
    if (asio) Say("static destructor: Release leaves %lu\n", asio->Release());
  }
} LastOwner;

int PlayThenLeave(const DriverLocation &driver, bool exitProcess) {
  IASIO *asio = CreateThroughCom(driver);
  if (!Play(asio)) return 1;
  LastOwner.asio = exitProcess ? nullptr : asio;
  Say("leaving\n");
  if (exitProcess) ExitProcess(7);
  return 0;
}

int PlayInPlugin(const wchar_t *name, const wchar_t *pluginPath, bool freeIt) {
  HMODULE plugin = LoadLibraryW(pluginPath);
  typedef int (*OpenFunction)(const wchar_t *);
  FARPROC open = plugin ? GetProcAddress(plugin, "PluginOpen") : nullptr;
  if (!open || reinterpret_cast<OpenFunction>(reinterpret_cast<void (*)()>(open))(name) != 0) {
    Say("the plugin did not start playing\n");
    return 1;
  }
  if (!freeIt) {
    Say("leaving\n");
    return 0;
  }
  DWORD begun = GetTickCount();
  BOOL freed = FreeLibrary(plugin);
  Say("FreeLibrary of the plugin: %s after %lu ms\n", freed ? "returned" : "failed", GetTickCount() - begun);
  Sleep(200);  // the process runs on for a while with the driver given up
  Say("leaving\n");
  return freed ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t **argv) {
  ReportCrashes();
  if (argc < 3) {
    Say("usage: lifecycle_host NAME MODE [ARGUMENTS]\n");
    return 2;
  }
  CoInitialize(nullptr);
  DriverLocation driver;
  if (!FindDriver(argv[1], &driver)) return 1;
  const wchar_t *mode = argv[2];
  if (wcscmp(mode, L"release-in-switch") == 0 && argc == 6)
    return ReleaseInSwitchRounds(driver, wcscmp(argv[3], L"freelibrary") == 0, wcscmp(argv[4], L"stop") == 0,
                                 _wtoi(argv[5]));
  if (wcscmp(mode, L"racing-stop") == 0 && argc == 4) return RacingStopRounds(driver, _wtoi(argv[3]));
  if (wcscmp(mode, L"exit-process") == 0) return PlayThenLeave(driver, true);
  if (wcscmp(mode, L"static-release") == 0) return PlayThenLeave(driver, false);
  if (wcscmp(mode, L"plugin-exit") == 0 && argc == 4) return PlayInPlugin(argv[1], argv[3], false);
  if (wcscmp(mode, L"plugin-free") == 0 && argc == 4) return PlayInPlugin(argv[1], argv[3], true);
  Say("unknown mode\n");
  return 2;
}
