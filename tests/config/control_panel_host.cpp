// A host's control-panel button: loads the asio.dll in the folder given, so that the module the
// driver looks itself up by is that one, and calls controlPanel on a driver object.
#include <windows.h>

#include <stdio.h>
#include <wchar.h>

#include "driver.h"

int wmain(int argc, wchar_t **argv) {
  if (argc != 2) return 2;
  WCHAR path[MAX_PATH];
  if (swprintf(path, _countof(path), L"%ls\\asio.dll", argv[1]) < 0) return 2;
  HMODULE module = LoadLibraryW(path);
  if (!module) {
    printf("control_panel_host: asio.dll did not load (error %lu)\n", static_cast<unsigned long>(GetLastError()));
    return 1;
  }
  ASIOError result;
  {
    ASIOPelkor driver(nullptr);
    result = driver.controlPanel();
  }
  printf("controlPanel returned %ld\n", static_cast<long>(result));
  FreeLibrary(module);
  return result == ASE_OK ? 0 : 1;
}
