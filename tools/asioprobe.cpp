// asioprobe: a small ASIO host. It finds drivers the way hosts do (the ASIO key of the registry
// in the view of its own bitness), has COM load one by its registered name, and prints what the
// driver answers; on request it creates buffers and runs the stream for a while.
//
//   asioprobe                       list the drivers under HKLM\SOFTWARE\ASIO
//   asioprobe NAME                  ... then load NAME and print its answers
//   asioprobe NAME --run MS         ... then create buffers and run the stream for MS milliseconds
//   asioprobe NAME --control-panel  ... then press the host's control-panel button (controlPanel)
//
// It knows nothing of the driver but the IASIO declaration: it is compiled as any host is, so on
// 32-bit the IASIO methods are called thiscall and the IUnknown ones stdcall.
#include <windows.h>
#include <objbase.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "asio_interface.h"

namespace {

const WCHAR kAsioKey[] = L"SOFTWARE\\ASIO";

struct DriverEntry {
  WCHAR name[256];
  WCHAR clsidText[64];
  WCHAR description[256];
  WCHAR inprocServer[MAX_PATH + 1];
};

const int kMaxDrivers = 32;

// UTF-8 for the console and for scripts that read the output.
const char *Utf8(const WCHAR *text, char *buffer, int capacity) {
  if (WideCharToMultiByte(CP_UTF8, 0, text, -1, buffer, capacity, nullptr, nullptr) == 0) snprintf(buffer, capacity, "?");
  return buffer;
}

void PrintField(const char *label, const WCHAR *text) {
  char utf8[1024];
  printf("    %s: %s\n", label, text[0] ? Utf8(text, utf8, sizeof(utf8)) : "(none)");
}

// A REG_SZ value into buffer (capacity in characters); empty when absent or not a string.
void ReadText(HKEY root, const WCHAR *path, const WCHAR *name, WCHAR *buffer, DWORD capacity) {
  buffer[0] = L'\0';
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return;
  DWORD type = 0;
  DWORD bytes = (capacity - 1) * sizeof(WCHAR);
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE *>(buffer), &bytes) != ERROR_SUCCESS ||
      type != REG_SZ)
    bytes = 0;
  buffer[bytes / sizeof(WCHAR)] = L'\0';
  RegCloseKey(key);
}

int ListDrivers(DriverEntry *drivers) {
  HKEY asio = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kAsioKey, 0, KEY_READ, &asio) != ERROR_SUCCESS) {
    printf("  no ASIO key: no driver is registered for %d-bit hosts\n", static_cast<int>(sizeof(void *) * 8));
    return 0;
  }
  int count = 0;
  for (DWORD index = 0; count < kMaxDrivers; ++index) {
    DriverEntry &entry = drivers[count];
    DWORD nameChars = _countof(entry.name);
    if (RegEnumKeyExW(asio, index, entry.name, &nameChars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    WCHAR path[512];
    swprintf(path, _countof(path), L"%ls\\%ls", kAsioKey, entry.name);
    ReadText(HKEY_LOCAL_MACHINE, path, L"CLSID", entry.clsidText, _countof(entry.clsidText));
    ReadText(HKEY_LOCAL_MACHINE, path, L"Description", entry.description, _countof(entry.description));
    swprintf(path, _countof(path), L"CLSID\\%ls\\InprocServer32", entry.clsidText);
    ReadText(HKEY_CLASSES_ROOT, path, nullptr, entry.inprocServer, _countof(entry.inprocServer));
    char utf8[512];
    printf("  %s\n", Utf8(entry.name, utf8, sizeof(utf8)));
    PrintField("CLSID", entry.clsidText);
    PrintField("Description", entry.description);
    PrintField("InprocServer32", entry.inprocServer);
    ++count;
  }
  RegCloseKey(asio);
  if (count == 0) printf("  (no drivers)\n");
  return count;
}

const char *ErrorName(ASIOError error) {
  switch (error) {
    case ASE_OK: return "ASE_OK";
    case ASE_SUCCESS: return "ASE_SUCCESS";
    case ASE_NotPresent: return "ASE_NotPresent";
    case ASE_HWMalfunction: return "ASE_HWMalfunction";
    case ASE_InvalidParameter: return "ASE_InvalidParameter";
    case ASE_InvalidMode: return "ASE_InvalidMode";
    case ASE_SPNotAdvancing: return "ASE_SPNotAdvancing";
    case ASE_NoClock: return "ASE_NoClock";
    case ASE_NoMemory: return "ASE_NoMemory";
    default: return "unknown";
  }
}

// The driver's error text, terminated whatever the driver wrote (the standard's buffer is 124).
const char *ErrorText(IASIO *asio, char (&text)[128]) {
  memset(text, 0, sizeof(text));
  asio->getErrorMessage(text);
  text[sizeof(text) - 1] = '\0';
  return text[0] ? text : "(no message)";
}

// ---- the stream: callbacks the driver calls on its stream thread ----

volatile LONG SwitchCount = 0;
ASIOBufferInfo BufferInfos[2];
long BufferChannels = 0;
long BufferBytes = 0;

void Silence(long index) {
  for (long i = 0; i < BufferChannels; ++i)
    if (BufferInfos[i].buffers[index & 1]) memset(BufferInfos[i].buffers[index & 1], 0, BufferBytes);
}

void BufferSwitch(long index, ASIOBool) {
  Silence(index);
  InterlockedIncrement(&SwitchCount);
}

ASIOTime *BufferSwitchTimeInfo(ASIOTime *params, long index, ASIOBool) {
  Silence(index);
  InterlockedIncrement(&SwitchCount);
  return params;
}

void SampleRateDidChange(ASIOSampleRate rate) { printf("    (driver reports a rate change to %.0f Hz)\n", rate); }

long AsioMessage(long selector, long value, void *, double *) {
  switch (selector) {
    case kAsioSelectorSupported:
      return value == kAsioEngineVersion || value == kAsioSupportsTimeInfo || value == kAsioResetRequest;
    case kAsioEngineVersion: return 2;
    case kAsioSupportsTimeInfo: return 1;
    case kAsioResetRequest:
      printf("    (driver asks for a reset)\n");
      return 1;
    default: return 0;
  }
}

ASIOCallbacks Callbacks = {BufferSwitch, SampleRateDidChange, AsioMessage, BufferSwitchTimeInfo};

void PrintAnswers(IASIO *asio) {
  char name[32] = {0};
  asio->getDriverName(name);
  name[sizeof(name) - 1] = '\0';
  printf("    name: %s, version %ld\n", name, asio->getDriverVersion());
  long inputs = -1, outputs = -1;
  ASIOError error = asio->getChannels(&inputs, &outputs);
  printf("    channels: %ld in, %ld out (%s)\n", inputs, outputs, ErrorName(error));
  long inLatency = -1, outLatency = -1;
  error = asio->getLatencies(&inLatency, &outLatency);
  printf("    latencies: %ld in, %ld out frames (%s)\n", inLatency, outLatency, ErrorName(error));
  long minSize = -1, maxSize = -1, preferred = -1, granularity = -1;
  error = asio->getBufferSize(&minSize, &maxSize, &preferred, &granularity);
  printf("    buffer size: min %ld, max %ld, preferred %ld, granularity %ld (%s)\n", minSize, maxSize, preferred,
         granularity, ErrorName(error));
  ASIOSampleRate rate = 0;
  error = asio->getSampleRate(&rate);
  printf("    sample rate: %.0f Hz (%s)\n", rate, ErrorName(error));
  ASIOClockSource clocks[4];
  memset(clocks, 0, sizeof(clocks));
  long clockCount = _countof(clocks);
  error = asio->getClockSources(clocks, &clockCount);
  printf("    clock sources: %ld (%s)\n", clockCount, ErrorName(error));
  for (long i = 0; error == ASE_OK && i < clockCount && i < static_cast<long>(_countof(clocks)); ++i) {
    clocks[i].name[sizeof(clocks[i].name) - 1] = '\0';
    printf("      %ld: \"%s\"%s\n", clocks[i].index, clocks[i].name, clocks[i].isCurrentSource ? ", current" : "");
  }
  for (int isInput = 1; isInput >= 0; --isInput) {
    long count = isInput ? inputs : outputs;
    for (long channel = 0; channel < count && channel < 64; ++channel) {
      ASIOChannelInfo info;
      memset(&info, 0, sizeof(info));
      info.channel = channel;
      info.isInput = isInput;
      error = asio->getChannelInfo(&info);
      info.name[sizeof(info.name) - 1] = '\0';
      printf("    %s %ld: \"%s\", sample type %ld, group %ld, %s (%s)\n", isInput ? "input" : "output", channel,
             info.name, info.type, info.channelGroup, info.isActive ? "active" : "inactive", ErrorName(error));
    }
  }
  static const double kRates[] = {44100, 48000, 88200, 96000, 176400, 192000, 352800, 384000, 2822400};
  printf("    canSampleRate:");
  for (double candidate : kRates) printf(" %.0f %s", candidate, asio->canSampleRate(candidate) == ASE_OK ? "yes" : "no");
  printf("\n");
}

void RunStream(IASIO *asio, long milliseconds) {
  long inputs = 0, outputs = 0, minSize = 0, maxSize = 0, preferred = 0, granularity = 0;
  asio->getChannels(&inputs, &outputs);
  asio->getBufferSize(&minSize, &maxSize, &preferred, &granularity);
  BufferChannels = outputs < 2 ? outputs : 2;
  memset(BufferInfos, 0, sizeof(BufferInfos));
  for (long i = 0; i < BufferChannels; ++i) {
    BufferInfos[i].isInput = ASIOFalse;
    BufferInfos[i].channelNum = i;
  }
  ASIOChannelInfo info;
  memset(&info, 0, sizeof(info));
  asio->getChannelInfo(&info);
  // 32-bit PCM words, or one-bit DSD at eight samples a byte.
  BufferBytes = info.type == ASIOSTDSDInt8MSB1 ? preferred / 8 : preferred * 4;
  char text[128];
  ASIOError error = asio->createBuffers(BufferInfos, BufferChannels, preferred, &Callbacks);
  if (error != ASE_OK) {
    printf("    createBuffers(%ld outputs, %ld) refused: %s (%ld): %s\n", BufferChannels, preferred, ErrorName(error),
           error, ErrorText(asio, text));
    return;
  }
  printf("    createBuffers: %ld outputs of %ld frames\n", BufferChannels, preferred);
  for (int half = 0; half < 2; ++half) Silence(half);
  SwitchCount = 0;
  error = asio->start();
  if (error != ASE_OK) {
    printf("    start refused: %s (%ld): %s\n", ErrorName(error), error, ErrorText(asio, text));
  } else {
    Sleep(static_cast<DWORD>(milliseconds));
    error = asio->stop();
    ASIOSampleRate rate = 0;
    asio->getSampleRate(&rate);
    double expected = preferred > 0 ? milliseconds * rate / 1000.0 / preferred : 0;
    printf("    ran %ld ms: %ld buffer switches (about %.0f expected at %.0f Hz); stop: %s\n", milliseconds,
           static_cast<long>(SwitchCount), expected, rate, ErrorName(error));
  }
  error = asio->disposeBuffers();
  printf("    disposeBuffers: %s\n", ErrorName(error));
}

// Loads the driver through COM as hosts do: the class identifier is also the interface asked for.
int ProbeDriver(const DriverEntry &entry, long runMilliseconds, bool controlPanel) {
  char utf8[512];
  printf("loading \"%s\"\n", Utf8(entry.name, utf8, sizeof(utf8)));
  CLSID classId;
  if (FAILED(CLSIDFromString(const_cast<LPOLESTR>(entry.clsidText), &classId))) {
    printf("    its CLSID value is not a class identifier\n");
    return 3;
  }
  void *object = nullptr;
  HRESULT hr = CoCreateInstance(classId, nullptr, CLSCTX_INPROC_SERVER, classId, &object);
  if (FAILED(hr) || !object) {
    printf("    CoCreateInstance failed: 0x%08lX\n", static_cast<unsigned long>(hr));
    return 3;
  }
  IASIO *asio = static_cast<IASIO *>(object);
  char text[128];
  ASIOBool ready = asio->init(GetConsoleWindow());
  if (ready == ASIOTrue)
    printf("    init: ASIOTrue\n");
  else
    printf("    init: %ld, refused: %s\n", ready, ErrorText(asio, text));
  PrintAnswers(asio);
  if (runMilliseconds > 0) RunStream(asio, runMilliseconds);
  if (controlPanel) printf("    controlPanel: %s\n", ErrorName(asio->controlPanel()));
  ULONG left = asio->Release();
  printf("    Release: %lu references left\n", static_cast<unsigned long>(left));

  // The driver's own answer on whether it may go, asked of the module COM loaded.
  HMODULE module = GetModuleHandleW(entry.inprocServer);
  typedef HRESULT(STDAPICALLTYPE * CanUnloadFunction)();
  FARPROC found = module ? GetProcAddress(module, "DllCanUnloadNow") : nullptr;
  if (found) {
    HRESULT canUnload = reinterpret_cast<CanUnloadFunction>(reinterpret_cast<void (*)()>(found))();
    printf("    DllCanUnloadNow: %s\n", canUnload == S_OK ? "S_OK" : canUnload == S_FALSE ? "S_FALSE" : "failure");
  } else {
    printf("    DllCanUnloadNow: the module is not loaded under its registered path\n");
  }
  return left == 0 ? 0 : 4;
}

}  // namespace

int wmain(int argc, wchar_t **argv) {
  const wchar_t *wanted = nullptr;
  long runMilliseconds = 0;
  bool controlPanel = false;
  for (int i = 1; i < argc; ++i) {
    if (wcscmp(argv[i], L"--run") == 0 && i + 1 < argc)
      runMilliseconds = wcstol(argv[++i], nullptr, 10);
    else if (wcscmp(argv[i], L"--control-panel") == 0)
      controlPanel = true;
    else if (!wanted && argv[i][0] != L'-')
      wanted = argv[i];
    else {
      printf("usage: asioprobe [driver name [--run milliseconds] [--control-panel]]\n");
      return 1;
    }
  }
  printf("asioprobe (%d-bit): drivers under HKLM\\SOFTWARE\\ASIO\n", static_cast<int>(sizeof(void *) * 8));
  static DriverEntry drivers[kMaxDrivers];
  int count = ListDrivers(drivers);
  if (!wanted) return 0;
  const DriverEntry *entry = nullptr;
  for (int i = 0; i < count && !entry; ++i)
    if (_wcsicmp(drivers[i].name, wanted) == 0) entry = &drivers[i];
  if (!entry) {
    char utf8[512];
    printf("no driver named \"%s\"\n", Utf8(wanted, utf8, sizeof(utf8)));
    return 2;
  }
  CoInitialize(nullptr);
  int result = ProbeDriver(*entry, runMilliseconds, controlPanel);
  CoUninitialize();
  return result;
}
