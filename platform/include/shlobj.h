// Folder creation and the user's known folders, as the shell gives them (shlobj_core.h).
#pragma once
#include <windows.h>

#define CSIDL_LOCAL_APPDATA 0x001c
#define SHGFP_TYPE_CURRENT 0

extern "C" {
HRESULT WINAPI SHGetFolderPathW(HWND window, int folder, HANDLE token, DWORD flags, LPWSTR path);
int WINAPI SHCreateDirectoryExW(HWND window, LPCWSTR path, const SECURITY_ATTRIBUTES *attributes);
}
