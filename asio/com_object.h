// COM object bases: a live-object counter (CBaseObject) and a non-delegating unknown with an
// owner pointer and an interlocked reference count (CUnknown).
#pragma once

#include <windows.h>
#include <objbase.h>

// Number of live CBaseObject-derived objects; the module may unload only when it is 0.
extern LONG ObjectCount;

// Laid out like IUnknown's three methods, so that the inner unknown can be handed out as an
// IUnknown pointer.
struct INonDelegatingUnknown {
  virtual HRESULT STDMETHODCALLTYPE InnerQueryInterface(REFIID riid, void **ppv) = 0;
  virtual ULONG STDMETHODCALLTYPE InnerAddRef() = 0;
  virtual ULONG STDMETHODCALLTYPE InnerRelease() = 0;
};

class CBaseObject {
 public:
  explicit CBaseObject(const char *objectName);
  ~CBaseObject();
  CBaseObject(const CBaseObject &) = delete;
  CBaseObject &operator=(const CBaseObject &) = delete;
};

class CUnknown : public INonDelegatingUnknown, public CBaseObject {
 public:
  CUnknown(const char *objectName, IUnknown *outer);
  virtual ~CUnknown();

  HRESULT STDMETHODCALLTYPE InnerQueryInterface(REFIID riid, void **ppv) override;
  ULONG STDMETHODCALLTYPE InnerAddRef() override;
  ULONG STDMETHODCALLTYPE InnerRelease() override;

  // The unknown that the object's IUnknown methods forward to: the outer object when
  // aggregated, else this object's own inner unknown.
  IUnknown *Owner() const { return owner; }

 private:
  IUnknown *owner;
  volatile LONG referenceCount;
};

// Stores the interface pointer in *ppv and adds a reference through it.
HRESULT HandOutInterface(IUnknown *pointer, void **ppv);
