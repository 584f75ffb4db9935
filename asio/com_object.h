// COM object bases: a live-object counter (CBaseObject) and a non-delegating unknown with an
// owner pointer and an interlocked reference count (CUnknown).
#pragma once

#include <windows.h>
#include <objbase.h>

// Number of live CBaseObject-derived objects; the module may unload only when it is 0.
extern LONG ObjectCount;

// The non-delegating unknown: the object's own reference count and interfaces, whatever
// owner its delegating IUnknown methods forward to.
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

  // From the process heap; null rather than an exception when it is exhausted, since no
  // exception may leave a COM call.
  static void *operator new(size_t bytes) noexcept;
  static void operator delete(void *block) noexcept;

  HRESULT STDMETHODCALLTYPE InnerQueryInterface(REFIID riid, void **ppv) override;
  ULONG STDMETHODCALLTYPE InnerAddRef() override;
  ULONG STDMETHODCALLTYPE InnerRelease() override;

  // The unknown that the object's IUnknown methods forward to: the outer object when
  // aggregated, else this object's own inner unknown.
  IUnknown *Owner() const { return owner; }

  // The inner unknown as COM sees it: an IUnknown whose methods are the non-delegating ones.
  IUnknown *InnerUnknown() { return &innerUnknown; }

 private:
  // Forwards IUnknown's three methods to the non-delegating ones. Handing out this object,
  // rather than reinterpreting the INonDelegatingUnknown part as an IUnknown, keeps every call
  // through the pointer a call on an object of the type the caller believes it has.
  class InnerUnknownForwarder : public IUnknown {
   public:
    explicit InnerUnknownForwarder(CUnknown *owningObject) : object(owningObject) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppv) override {
      return object->InnerQueryInterface(riid, ppv);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return object->InnerAddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return object->InnerRelease(); }

   private:
    CUnknown *object;
  };

  IUnknown *owner;
  volatile LONG referenceCount;
  InnerUnknownForwarder innerUnknown;
};

// Stores the interface pointer in *ppv and adds a reference through it.
HRESULT HandOutInterface(IUnknown *pointer, void **ppv);
