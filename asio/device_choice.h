// Which of the system's playback devices is the DAC: the first whose name contains the
// description from the identity file. The driver's init and the settings program both use it.
#pragma once

#include <windows.h>

#include <miniaudio.h>

// Index of the first of `count` devices whose name, converted from the ANSI code page, contains
// `description` (case-sensitive), or -1 when none does. With `list` set, each device looked at
// is written to standard output as "<index> - <name>" until the match.
LONG FindPlaybackDevice(const ma_device_info *devices, ma_uint32 count, const WCHAR *description, bool list);
