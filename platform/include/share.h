// Sharing modes of the C runtime's _wfsopen, and the wide file-open calls of its stdio.
// Paths are Windows paths; the simulated machine keeps the files (platform/sim/files.cpp).
#pragma once
#include <stdio.h>
#include "win/base.h"

#define _SH_DENYRW 0x10
#define _SH_DENYWR 0x20
#define _SH_DENYRD 0x30
#define _SH_DENYNO 0x40

extern "C" {
FILE *_wfsopen(const wchar_t *path, const wchar_t *mode, int shareFlag);
FILE *_wfopen(const wchar_t *path, const wchar_t *mode);
int _wremove(const wchar_t *path);
}
