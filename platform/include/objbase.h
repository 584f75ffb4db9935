// COM task memory and CLSID text conversion (combaseapi.h).
#pragma once
#include "windows.h"
#include "unknwn.h"

typedef WCHAR OLECHAR;
typedef OLECHAR *LPOLESTR;
typedef const OLECHAR *LPCOLESTR;

extern "C" {
LPVOID STDAPICALLTYPE CoTaskMemAlloc(SIZE_T size);
void STDAPICALLTYPE CoTaskMemFree(LPVOID memory);
HRESULT STDAPICALLTYPE CLSIDFromString(LPCOLESTR text, LPCLSID clsid);
HRESULT STDAPICALLTYPE StringFromCLSID(REFCLSID clsid, LPOLESTR *text);
HRESULT STDAPICALLTYPE CoInitialize(LPVOID reserved);
void STDAPICALLTYPE CoUninitialize(void);
}
