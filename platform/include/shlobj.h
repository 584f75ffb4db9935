// Folder creation of the shell (shlobj_core.h).
#pragma once
#include <windows.h>

extern "C" {
int WINAPI SHCreateDirectoryExW(HWND window, LPCWSTR path, const SECURITY_ATTRIBUTES *attributes);
}
