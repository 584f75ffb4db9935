// Keeps a module loaded, as a host keeps asio.dll while it plays, so that an installer meets the
// file in use. Says "loaded" once it holds it, then waits.
//   hold_module.exe MODULE MILLISECONDS
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>
#include <windows.h>

int wmain(int argc, wchar_t **argv) {
  if (argc != 3) {
    fputs("usage: hold_module MODULE MILLISECONDS\n", stderr);
    return 2;
  }
  HMODULE module = LoadLibraryW(argv[1]);
  if (!module) {
    fprintf(stderr, "hold_module: LoadLibrary failed: %lu\n", GetLastError());
    return 1;
  }
  puts("loaded");
  fflush(stdout);
  Sleep((DWORD)wcstoul(argv[2], NULL, 10));
  FreeLibrary(module);
  return 0;
}
