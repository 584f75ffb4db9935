// The classes this in-process server makes, and the class factory that COM gets for them.
#pragma once

#include <windows.h>
#include <objbase.h>

// Makes a new object with the given outer unknown (may be null); returns its inner unknown, or
// null when it cannot be allocated. A failure the object meets in construction goes to *status.
typedef IUnknown *(*CreateObjectFunction)(IUnknown *outer, HRESULT *status);

struct FactoryEntry {
  const char *name;
  const CLSID *classId;
  CreateObjectFunction create;
  void (*initialise)();
};

extern const FactoryEntry FactoryTable[];
extern const int FactoryCount;

// Net number of LockServer(TRUE) calls; the module stays loaded while it is positive.
extern LONG ServerLockCount;

// The creation function of the driver's row: a new ASIOPelkor.
IUnknown *CreateDriverObject(IUnknown *outer, HRESULT *status);

// Not a CBaseObject: a live factory does not keep the module loaded.
class CClassFactory : public IClassFactory {
 public:
  explicit CClassFactory(const FactoryEntry *entry) : row(entry), referenceCount(0) {}
  virtual ~CClassFactory() = default;
  CClassFactory(const CClassFactory &) = delete;
  CClassFactory &operator=(const CClassFactory &) = delete;

  // From the process heap; null rather than an exception when it is exhausted, since no
  // exception may leave a COM call.
  static void *operator new(size_t bytes) noexcept;
  static void operator delete(void *block) noexcept;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown *outer, REFIID riid, void **ppv) override;
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;

 private:
  const FactoryEntry *row;
  LONG referenceCount;
};
