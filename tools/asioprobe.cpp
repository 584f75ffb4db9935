// asioprobe: loads asio.dll from its own folder, reads the identity file beside it and shows what
// the driver object answers a host, with the settings of the current user. A quick check of an
// installation, and what the package job runs under Wine.
#include <windows.h>
#include <objbase.h>

#include <stdio.h>

#include "driver.h"
#include "identity.h"

namespace {

void PrintWide(const char *label, const WCHAR *text) {
  char utf8[512];
  int n = WideCharToMultiByte(CP_UTF8, 0, text ? text : L"", -1, utf8, sizeof(utf8), nullptr, nullptr);
  printf("  %s: %s\n", label, n > 0 ? utf8 : "?");
}

}  // namespace

int main() {
  printf("asioprobe (%d-bit)\n", static_cast<int>(sizeof(void *) * 8));
  HMODULE module = LoadLibraryW(DRIVER_MODULE_NAME);
  printf("  LoadLibrary asio.dll: %s\n", module ? "loaded" : "not found");
  if (module) {
    static const char *const kExports[] = {"DllGetClassObject", "DllCanUnloadNow", "DllRegisterServer",
                                           "DllUnregisterServer"};
    for (const char *name : kExports)
      printf("  export %s: %s\n", name, GetProcAddress(module, name) ? "present" : "absent");
  }

  WCHAR path[MAX_PATH];
  if (GetDriverModulePath(path, MAX_PATH)) PrintWide("module path", path);
  CLSID classId;
  WCHAR prefix[kDeviceIdPrefixChars];
  if (LoadClassIdentity(&classId, prefix) == 0) {
    LPOLESTR text = nullptr;
    if (SUCCEEDED(StringFromCLSID(classId, &text))) PrintWide("class identifier", text);
    CoTaskMemFree(text);
    PrintWide("device-instance-ID prefix", prefix);
  } else {
    printf("  identity file: cannot be read\n");
  }
  WCHAR fileName[MAX_PATH];
  LPOLESTR description = nullptr, name = nullptr;
  if (LoadDriverIdentity(fileName, &description, &name) == 0) {
    PrintWide("driver name", name);
    PrintWide("description", description);
  }
  CoTaskMemFree(description);
  CoTaskMemFree(name);

  ASIOPelkor *driver = new ASIOPelkor(nullptr);
  char driverName[32];
  driver->getDriverName(driverName);
  long inputs = 0, outputs = 0, minSize = 0, maxSize = 0, preferred = 0, granularity = 0, inLatency = 0,
       outLatency = 0;
  ASIOSampleRate rate = 0;
  driver->getChannels(&inputs, &outputs);
  driver->getBufferSize(&minSize, &maxSize, &preferred, &granularity);
  driver->getLatencies(&inLatency, &outLatency);
  driver->getSampleRate(&rate);
  printf("  driver: %s, version %ld\n", driverName, driver->getDriverVersion());
  printf("  channels: %ld in, %ld out\n", inputs, outputs);
  printf("  buffer size: %ld (min %ld, max %ld, granularity %ld)\n", preferred, minSize, maxSize, granularity);
  printf("  latencies: %ld in, %ld out\n", inLatency, outLatency);
  printf("  sample rate: %.0f Hz\n", rate);
  ASIOIoFormat format = {};
  format.FormatType = kASIODSDFormat;
  driver->future(kAsioSetIoFormat, &format);
  driver->setSampleRate(64 * 44100.0);
  driver->getBufferSize(&minSize, &maxSize, &preferred, &granularity);
  driver->getSampleRate(&rate);
  printf("  DSD64: word rate %.0f Hz, buffer size %ld one-bit samples\n", rate, preferred);
  ASIOChannelInfo info = {};
  info.channel = 1;
  driver->getChannelInfo(&info);
  printf("  channel 1: \"%s\", sample type %ld\n", info.name, info.type);
  delete driver;
  if (module) FreeLibrary(module);
  return 0;
}
