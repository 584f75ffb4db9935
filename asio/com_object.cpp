#include "com_object.h"

LONG ObjectCount = 0;

CBaseObject::CBaseObject(const char *) { InterlockedIncrement(&ObjectCount); }

CBaseObject::~CBaseObject() { InterlockedDecrement(&ObjectCount); }

CUnknown::CUnknown(const char *objectName, IUnknown *outer)
    : CBaseObject(objectName), owner(outer ? outer : &innerUnknown), referenceCount(0), innerUnknown(this) {}

CUnknown::~CUnknown() = default;

void *CUnknown::operator new(size_t bytes) noexcept { return HeapAlloc(GetProcessHeap(), 0, bytes); }

void CUnknown::operator delete(void *block) noexcept {
  if (block) HeapFree(GetProcessHeap(), 0, block);
}

HRESULT STDMETHODCALLTYPE CUnknown::InnerQueryInterface(REFIID riid, void **ppv) {
  if (!ppv) return E_POINTER;
  if (IsEqualIID(riid, IID_IUnknown))
    return HandOutInterface(InnerUnknown(), ppv);
  *ppv = nullptr;
  return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE CUnknown::InnerAddRef() {
  InterlockedIncrement(&referenceCount);
  ULONG count = static_cast<ULONG>(referenceCount);
  return count > 1 ? count : 1;
}

ULONG STDMETHODCALLTYPE CUnknown::InnerRelease() {
  if (InterlockedDecrement(&referenceCount) == 0) {
    // Back to 1 so that anything the destructor does with the object cannot destroy it again.
    ++referenceCount;
    delete this;
    return 0;
  }
  ULONG count = static_cast<ULONG>(referenceCount);
  return count > 1 ? count : 1;
}

HRESULT HandOutInterface(IUnknown *pointer, void **ppv) {
  if (!ppv) return E_POINTER;
  *ppv = pointer;
  pointer->AddRef();
  return S_OK;
}
