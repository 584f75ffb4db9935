#include "elevation.h"

#include <windows.h>

bool IsProcessElevated() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  TOKEN_ELEVATION elevation = {};
  DWORD returned = 0;
  BOOL queried = GetTokenInformation(token, TokenElevation, &elevation, sizeof(elevation), &returned);
  CloseHandle(token);
  return queried && elevation.TokenIsElevated == 1;
}
