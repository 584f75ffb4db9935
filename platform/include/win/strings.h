// Code-page conversion (stringapiset.h) and character helpers (winuser.h).
#pragma once
#include "win/base.h"

#define CP_ACP 0
#define CP_OEMCP 1
#define CP_UTF8 65001
#define MB_PRECOMPOSED 0x00000001
#define MB_ERR_INVALID_CHARS 0x00000008
#define WC_NO_BEST_FIT_CHARS 0x00000400

extern "C" {
int WINAPI MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR multiByte, int multiByteCount, LPWSTR wide,
                               int wideCount);
int WINAPI WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wide, int wideCount, LPSTR multiByte,
                               int multiByteCount, LPCSTR defaultChar, LPBOOL usedDefaultChar);
LPWSTR WINAPI CharLowerW(LPWSTR text);
// The C runtime's case-insensitive comparison of at most `count` characters.
int _wcsnicmp(const wchar_t *a, const wchar_t *b, size_t count);
}
