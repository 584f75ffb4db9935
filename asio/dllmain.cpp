#include <windows.h>

#include "driver_thread.h"

// Nothing is set up at load: every value the driver needs is read when it is asked for. At
// process exit the driver learns that no thread can be waited for any more: a host may still
// release its driver objects after this, from static destructors or its own DllMain.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_DETACH) NoteProcessDetach(reserved != nullptr);
  return TRUE;
}
