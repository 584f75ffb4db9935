// Named shared memory backed by the paging file (memoryapi.h, winbase.h). Natively every "process"
// of the simulated machine is the test process, so a section is a block that every view shares.
#pragma once
#include "win/base.h"
#include "win/registry.h"

#define PAGE_READONLY 0x02
#define PAGE_READWRITE 0x04

#define FILE_MAP_WRITE 0x0002
#define FILE_MAP_READ 0x0004
#define FILE_MAP_ALL_ACCESS 0x000F001F

extern "C" {
HANDLE WINAPI CreateFileMappingW(HANDLE file, LPSECURITY_ATTRIBUTES attributes, DWORD protect, DWORD maximumSizeHigh,
                                 DWORD maximumSizeLow, LPCWSTR name);
HANDLE WINAPI OpenFileMappingW(DWORD desiredAccess, BOOL inheritHandle, LPCWSTR name);
LPVOID WINAPI MapViewOfFile(HANDLE mapping, DWORD desiredAccess, DWORD offsetHigh, DWORD offsetLow,
                            SIZE_T bytesToMap);
BOOL WINAPI UnmapViewOfFile(LPCVOID baseAddress);
}
