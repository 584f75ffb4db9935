#include <windows.h>

// Nothing is set up at load: every value the driver needs is read when it is asked for.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
