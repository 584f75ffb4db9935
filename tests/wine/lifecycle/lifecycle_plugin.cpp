// A plugin that plays through the driver and tidies up in its DLL_PROCESS_DETACH, as plugins of
// audio hosts do: stop, disposeBuffers, Release. That detach runs under the loader lock, either
// at process exit (after the system ended every other thread) or in a FreeLibrary of the plugin.
#include <windows.h>
#include <objbase.h>

#include "driver_host.h"

namespace {

IASIO *Driver = nullptr;
volatile LONG Switches = 0;

void BufferSwitch(long, ASIOBool) { InterlockedIncrement(&Switches); }
void SampleRateDidChange(ASIOSampleRate) {}
long AsioMessage(long, long, void *, double *) { return 0; }
ASIOTime *BufferSwitchTimeInfo(ASIOTime *params, long, ASIOBool) {
  InterlockedIncrement(&Switches);
  return params;
}

ASIOCallbacks Callbacks = {BufferSwitch, SampleRateDidChange, AsioMessage, BufferSwitchTimeInfo};

}  // namespace

// 0 once the stream has switched buffers a few times.
extern "C" __declspec(dllexport) int PluginOpen(const wchar_t *name) {
  DriverLocation driver;
  if (!FindDriver(name, &driver) || !(Driver = CreateThroughCom(driver))) return 1;
  if (!OpenStream(Driver, &Callbacks)) return 1;
  if (!WaitForCount(&Switches, 4, 10000)) {
    Say("the stream did not switch buffers\n");
    return 1;
  }
  return 0;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_DETACH && Driver) {
    Say("detach (%s): stopping\n", reserved ? "process exit" : "FreeLibrary");
    ASIOError stopped = Driver->stop();
    ASIOError disposed = Driver->disposeBuffers();
    ULONG left = Driver->Release();
    Say("detach: stop %ld, disposeBuffers %ld, Release leaves %lu\n", stopped, disposed, static_cast<unsigned long>(left));
    Driver = nullptr;
  }
  return TRUE;
}
