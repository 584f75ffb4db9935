#include "driver_host.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

namespace {

bool ReadText(HKEY root, const wchar_t *path, const wchar_t *name, WCHAR *buffer, DWORD capacity) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  DWORD type = 0;
  DWORD bytes = (capacity - 1) * sizeof(WCHAR);
  LSTATUS status = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE *>(buffer), &bytes);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS || type != REG_SZ) return false;
  buffer[bytes / sizeof(WCHAR)] = L'\0';
  return true;
}

LONG WINAPI OnCrash(EXCEPTION_POINTERS *exception) {
  Say("crash: exception 0x%08lX at %p on thread %lu\n", exception->ExceptionRecord->ExceptionCode,
      exception->ExceptionRecord->ExceptionAddress, GetCurrentThreadId());
  // TerminateProcess, not ExitProcess: a crash may have left the loader lock held.
  TerminateProcess(GetCurrentProcess(), 70);
  return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

bool FindDriver(const wchar_t *name, DriverLocation *found) {
  WCHAR path[512], text[64];
  swprintf(path, _countof(path), L"SOFTWARE\\ASIO\\%ls", name);
  if (!ReadText(HKEY_LOCAL_MACHINE, path, L"CLSID", text, _countof(text)) || FAILED(CLSIDFromString(text, &found->classId))) {
    Say("no driver registered as \"%ls\"\n", name);
    return false;
  }
  swprintf(path, _countof(path), L"CLSID\\%ls\\InprocServer32", text);
  if (!ReadText(HKEY_CLASSES_ROOT, path, nullptr, found->path, _countof(found->path))) {
    Say("the class %ls has no InprocServer32\n", text);
    return false;
  }
  return true;
}

IASIO *CreateThroughCom(const DriverLocation &driver) {
  void *object = nullptr;
  HRESULT hr = CoCreateInstance(driver.classId, nullptr, CLSCTX_INPROC_SERVER, driver.classId, &object);
  if (FAILED(hr) || !object) {
    Say("CoCreateInstance failed: 0x%08lX\n", static_cast<unsigned long>(hr));
    return nullptr;
  }
  return static_cast<IASIO *>(object);
}

IASIO *CreateFromModule(HMODULE module, const DriverLocation &driver) {
  typedef HRESULT(STDAPICALLTYPE * GetClassObjectFunction)(REFCLSID, REFIID, void **);
  FARPROC found = GetProcAddress(module, "DllGetClassObject");
  IClassFactory *factory = nullptr;
  void *object = nullptr;
  HRESULT hr = E_FAIL;
  if (found && SUCCEEDED(hr = reinterpret_cast<GetClassObjectFunction>(reinterpret_cast<void (*)()>(found))(
                             driver.classId, IID_IClassFactory, reinterpret_cast<void **>(&factory)))) {
    hr = factory->CreateInstance(nullptr, driver.classId, &object);
    factory->Release();
  }
  if (FAILED(hr) || !object) {
    Say("the module's class factory made no driver: 0x%08lX\n", static_cast<unsigned long>(hr));
    return nullptr;
  }
  return static_cast<IASIO *>(object);
}

bool OpenStream(IASIO *asio, ASIOCallbacks *callbacks) {
  static ASIOBufferInfo infos[2];  // only read back by the driver: the hosts never touch the halves
  char text[128] = {0};
  ASIOBool ready = asio->init(nullptr);
  if (ready != ASIOTrue) {
    Say("init: %ld\n", ready);
    return false;
  }
  asio->setSampleRate(44100);
  long minSize = 0, maxSize = 0, preferred = 0, granularity = 0;
  asio->getBufferSize(&minSize, &maxSize, &preferred, &granularity);
  memset(infos, 0, sizeof(infos));
  for (long i = 0; i < 2; ++i) infos[i].channelNum = i;
  ASIOError error = asio->createBuffers(infos, 2, preferred, callbacks);
  if (error == ASE_OK) error = asio->start();
  if (error != ASE_OK) {
    asio->getErrorMessage(text);
    text[sizeof(text) - 1] = '\0';
    Say("no stream: %ld: %s\n", error, text);
    return false;
  }
  return true;
}

bool WaitForCount(volatile LONG *counter, LONG target, DWORD milliseconds) {
  DWORD begun = GetTickCount();
  while (*counter < target) {
    if (GetTickCount() - begun > milliseconds) return false;
    Sleep(1);
  }
  return true;
}

void Say(const char *format, ...) {
  char line[512];
  va_list arguments;
  va_start(arguments, format);
  int length = vsnprintf(line, sizeof(line), format, arguments);
  va_end(arguments);
  if (length < 0) return;
  if (length >= static_cast<int>(sizeof(line))) length = sizeof(line) - 1;
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line, static_cast<DWORD>(length), &written, nullptr);
}

void ReportCrashes() {
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  SetUnhandledExceptionFilter(OnCrash);
}
