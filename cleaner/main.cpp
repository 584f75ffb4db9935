// devpurge.exe: takes the Vantrel device off this system. It writes nothing to the console and
// never waits for input; its log and its exit code are its only output.
#include "flow.h"

int wmain(int argc, wchar_t **argv) { return DevpurgeMain(argc, argv); }
