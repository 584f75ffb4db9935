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

// Apartments. Each thread has its own state: not initialised, or in the single-threaded or the
// multithreaded apartment with a count of initialisations that CoUninitialize takes back one by one.
typedef enum tagCOINIT { COINIT_MULTITHREADED = 0x0, COINIT_APARTMENTTHREADED = 0x2 } COINIT;
typedef enum _APTTYPE { APTTYPE_CURRENT = -1, APTTYPE_STA = 0, APTTYPE_MTA = 1, APTTYPE_NA = 2, APTTYPE_MAINSTA = 3 } APTTYPE;
typedef enum _APTTYPEQUALIFIER {
  APTTYPEQUALIFIER_NONE = 0,
  APTTYPEQUALIFIER_IMPLICIT_MTA = 1
} APTTYPEQUALIFIER;
HRESULT STDAPICALLTYPE CoInitialize(LPVOID reserved);
HRESULT STDAPICALLTYPE CoInitializeEx(LPVOID reserved, DWORD coInit);
void STDAPICALLTYPE CoUninitialize(void);
HRESULT STDAPICALLTYPE CoGetApartmentType(APTTYPE *type, APTTYPEQUALIFIER *qualifier);
// The simulated machine serves the audio endpoint classes (sim/audio.h); any other class is not
// registered.
HRESULT STDAPICALLTYPE CoCreateInstance(REFCLSID clsid, LPUNKNOWN outer, DWORD clsCtx, REFIID iid, LPVOID *object);
}
