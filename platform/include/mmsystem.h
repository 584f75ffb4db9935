// Multimedia timer (timeapi.h): milliseconds since the system started.
#pragma once
#include "win/base.h"

extern "C" {
DWORD WINAPI timeGetTime(void);
}
