// The in-process server's entry points, exported undecorated through streamdrv.def.
#pragma once

#include <windows.h>
#include <objbase.h>

extern "C" {
HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid, void **ppv);
HRESULT STDAPICALLTYPE DllCanUnloadNow(void);
HRESULT STDAPICALLTYPE DllRegisterServer(void);
HRESULT STDAPICALLTYPE DllUnregisterServer(void);
}

// What DllRegisterServer and DllUnregisterServer return when the identity file cannot be read:
// not a failure code, and nothing was registered.
enum { kIdentityUnreadable = 2 };
