#include "exports.h"

#include "class_factory.h"
#include "com_object.h"
#include "driver_thread.h"
#include "identity.h"
#include "registration.h"

namespace {

// The threading model the class is registered with.
const WCHAR kThreadingModel[] = L"Apartment";

// The registration routines' own codes stay inside: callers see -1.
HRESULT RegistrationResult(int result) { return result != 0 ? static_cast<HRESULT>(-1) : S_OK; }

}  // namespace

HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid, void **ppv) {
  if (!ppv) return E_POINTER;
  // Read on every call, so the class served is always the one the file names now.
  if (LoadClassIdentity(&DriverClassId, DeviceIdPrefix) != 0) return CLASS_E_CLASSNOTAVAILABLE;
  if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IClassFactory)) return E_NOINTERFACE;
  const FactoryEntry *row = nullptr;
  for (int i = 0; i < FactoryCount && !row; ++i)
    if (IsEqualCLSID(*FactoryTable[i].classId, rclsid)) row = &FactoryTable[i];
  if (!row) return CLASS_E_CLASSNOTAVAILABLE;
  CClassFactory *factory = new CClassFactory(row);
  *ppv = factory;
  if (!factory) return E_OUTOFMEMORY;
  factory->AddRef();
  return S_OK;
}

HRESULT STDAPICALLTYPE DllCanUnloadNow(void) {
  // A thread of the driver's may still be on its way out after the last object went.
  return ServerLockCount > 0 || ObjectCount != 0 || LiveDriverThreads() != 0 ? S_FALSE : S_OK;
}

HRESULT STDAPICALLTYPE DllRegisterServer(void) {
  WCHAR moduleFileName[MAX_PATH];
  LPOLESTR description = nullptr;
  LPOLESTR driverName = nullptr;
  if (LoadDriverIdentity(moduleFileName, &description, &driverName) != 0) return kIdentityUnreadable;
  int result = WriteDriverRegistration(DriverClassId, moduleFileName, driverName, description, kThreadingModel);
  CoTaskMemFree(description);
  CoTaskMemFree(driverName);
  return RegistrationResult(result);
}

HRESULT STDAPICALLTYPE DllUnregisterServer(void) {
  WCHAR moduleFileName[MAX_PATH];
  LPOLESTR description = nullptr;
  LPOLESTR driverName = nullptr;
  if (LoadDriverIdentity(moduleFileName, &description, &driverName) != 0) return kIdentityUnreadable;
  int result = RemoveDriverRegistration(DriverClassId, moduleFileName, driverName);
  CoTaskMemFree(description);
  CoTaskMemFree(driverName);
  return RegistrationResult(result);
}
