// COM task memory, CLSID text conversion and object creation (combaseapi.h).
#pragma once
#include "windows.h"
#include "unknwn.h"

typedef WCHAR OLECHAR;
typedef OLECHAR *LPOLESTR;
typedef const OLECHAR *LPCOLESTR;

enum { CLSCTX_INPROC_SERVER = 0x1, CLSCTX_INPROC_HANDLER = 0x2, CLSCTX_LOCAL_SERVER = 0x4, CLSCTX_REMOTE_SERVER = 0x10 };
#define CLSCTX_ALL (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER)
#define STGM_READ 0x00000000L

extern "C" {
LPVOID STDAPICALLTYPE CoTaskMemAlloc(SIZE_T size);
void STDAPICALLTYPE CoTaskMemFree(LPVOID memory);
HRESULT STDAPICALLTYPE CLSIDFromString(LPCOLESTR text, LPCLSID clsid);
HRESULT STDAPICALLTYPE StringFromCLSID(REFCLSID clsid, LPOLESTR *text);
HRESULT STDAPICALLTYPE CoInitialize(LPVOID reserved);
void STDAPICALLTYPE CoUninitialize(void);
// The simulated machine serves the audio endpoint classes (sim/audio.h); any other class is not
// registered.
HRESULT STDAPICALLTYPE CoCreateInstance(REFCLSID clsid, LPUNKNOWN outer, DWORD clsCtx, REFIID iid, LPVOID *object);
}
