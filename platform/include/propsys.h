// Property keys, PROPVARIANT (only the blob member the audio endpoints use) and IPropertyStore
// (propsys.h, propidl.h).
#pragma once
#include <string.h>

#include "objbase.h"

typedef struct _tagpropertykey {
  GUID fmtid;
  DWORD pid;
} PROPERTYKEY;
#define REFPROPERTYKEY const PROPERTYKEY &

typedef unsigned short VARTYPE;
enum { VT_EMPTY = 0, VT_LPWSTR = 31, VT_BLOB = 65 };

typedef struct tagBLOB {
  ULONG cbSize;
  BYTE *pBlobData;
} BLOB;

typedef struct tagPROPVARIANT {
  VARTYPE vt;
  WORD wReserved1, wReserved2, wReserved3;
  union {
    BLOB blob;
    LPWSTR pwszVal;
  };
} PROPVARIANT;

#define PropVariantInit(pvar) memset((pvar), 0, sizeof(PROPVARIANT))

extern "C" {
// Frees what the value owns (task memory for blobs and strings) and leaves it VT_EMPTY.
HRESULT STDAPICALLTYPE PropVariantClear(PROPVARIANT *pvar);
}

extern "C" const IID IID_IPropertyStore;

struct IPropertyStore : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetCount(DWORD *count) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetAt(DWORD index, PROPERTYKEY *key) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetValue(REFPROPERTYKEY key, PROPVARIANT *value) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetValue(REFPROPERTYKEY key, const PROPVARIANT &value) = 0;
  virtual HRESULT STDMETHODCALLTYPE Commit() = 0;
};
