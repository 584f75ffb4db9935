#include "class_factory.h"

#include "driver.h"
#include "identity.h"

const FactoryEntry FactoryTable[] = {
    {"ASIOPelkor", &DriverClassId, CreateDriverObject, nullptr},
};
const int FactoryCount = sizeof(FactoryTable) / sizeof(FactoryTable[0]);

LONG ServerLockCount = 0;

IUnknown *CreateDriverObject(IUnknown *outer, HRESULT *) {
  ASIOPelkor *driver = new ASIOPelkor(outer);
  return driver ? driver->InnerUnknown() : nullptr;
}

void *CClassFactory::operator new(size_t bytes) noexcept { return HeapAlloc(GetProcessHeap(), 0, bytes); }

void CClassFactory::operator delete(void *block) noexcept {
  if (block) HeapFree(GetProcessHeap(), 0, block);
}

HRESULT STDMETHODCALLTYPE CClassFactory::QueryInterface(REFIID riid, void **ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IClassFactory)) return E_NOINTERFACE;
  *ppv = static_cast<IClassFactory *>(this);
  static_cast<IUnknown *>(*ppv)->AddRef();
  return S_OK;
}

ULONG STDMETHODCALLTYPE CClassFactory::AddRef() { return static_cast<ULONG>(++referenceCount); }

ULONG STDMETHODCALLTYPE CClassFactory::Release() {
  if (--referenceCount == 0) {
    delete this;
    return 0;
  }
  return static_cast<ULONG>(referenceCount);
}

HRESULT STDMETHODCALLTYPE CClassFactory::CreateInstance(IUnknown *outer, REFIID riid, void **ppv) {
  if (!ppv) return E_POINTER;
  // An aggregating caller must take the inner unknown, or it could not control the object's life.
  if (outer && !IsEqualIID(riid, IID_IUnknown)) return E_NOINTERFACE;
  HRESULT status = S_OK;
  IUnknown *object = row->create(outer, &status);
  if (!object) return E_OUTOFMEMORY;
  // The inner unknown's AddRef and Release are the object's own: one reference held across the
  // query, so that an object that cannot give the interface is destroyed again here.
  object->AddRef();
  HRESULT result = FAILED(status) ? status : object->QueryInterface(riid, ppv);
  object->Release();
  return result;
}

HRESULT STDMETHODCALLTYPE CClassFactory::LockServer(BOOL lock) {
  if (lock)
    ++ServerLockCount;
  else
    --ServerLockCount;
  return S_OK;
}
