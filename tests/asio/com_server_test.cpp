// The in-process server as COM drives it: DllGetClassObject, the class factory, the driver
// object's identity and reference counts, and when the module may unload.
#include <gtest/gtest.h>

#include <string>

#include "class_factory.h"
#include "driver.h"
#include "exports.h"
#include "identity.h"
#include "machine.h"
#include "sim/machine.h"

namespace {

const wchar_t kModule[] = L"C:\\Drivers\\Vantrel\\asio.dll";
const CLSID kClass = {0x6B3C2A10, 0x95E4, 0x4F7D, {0x8A, 0x21, 0x3C, 0x5D, 0x7E, 0x9F, 0x0B, 0x14}};
const CLSID kOtherClass = {0x6B3C2A10, 0x95E4, 0x4F7D, {0x8A, 0x21, 0x3C, 0x5D, 0x7E, 0x9F, 0x0B, 0x15}};
// Lines 1 and 2 are all a class factory needs.
const char kTwoLines[] = "{6B3C2A10-95E4-4F7D-8A21-3C5D7E9F0B14}\r\nUSB\\VID_F1E5&PID_7A11\r\n";
void *const kPoison = reinterpret_cast<void *>(static_cast<uintptr_t>(0xDEADBEEF));

class ComServerTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    sim::LoadModule(kModule);
    sim::WriteFile(std::wstring(kModule) + L".ini", kTwoLines);
    baseObjects = ObjectCount;
    baseLocks = ServerLockCount;
  }
  void TearDown() override {
    EXPECT_EQ(baseObjects, ObjectCount) << "driver objects left alive";
    ServerLockCount = baseLocks;
    MachineTest::TearDown();
  }

  IClassFactory *Factory() {
    void *factory = nullptr;
    EXPECT_EQ(S_OK, DllGetClassObject(kClass, IID_IClassFactory, &factory));
    return static_cast<IClassFactory *>(factory);
  }

  LONG baseObjects = 0, baseLocks = 0;
};

TEST_F(ComServerTest, ClassObjectForTheFileClassWithLinesOneAndTwoOnly) {
  void *unknown = kPoison;
  ASSERT_EQ(S_OK, DllGetClassObject(kClass, IID_IUnknown, &unknown));
  auto *factory = static_cast<IClassFactory *>(unknown);
  void *again = nullptr;
  ASSERT_EQ(S_OK, factory->QueryInterface(IID_IClassFactory, &again));
  EXPECT_EQ(unknown, again);
  EXPECT_EQ(1u, factory->Release());
  EXPECT_EQ(0u, factory->Release());
  // The class served is the one the file names at the call.
  EXPECT_TRUE(IsEqualCLSID(kClass, DriverClassId));
  EXPECT_STREQ(L"USB\\VID_F1E5&PID_7A11", DeviceIdPrefix);
}

TEST_F(ComServerTest, ClassObjectRefusals) {
  void *out = kPoison;
  EXPECT_EQ(E_NOINTERFACE, DllGetClassObject(kClass, kClass, &out));
  EXPECT_EQ(kPoison, out);
  EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, DllGetClassObject(kOtherClass, IID_IClassFactory, &out));
  EXPECT_EQ(kPoison, out);
  EXPECT_EQ(E_POINTER, DllGetClassObject(kClass, IID_IClassFactory, nullptr));
  sim::FailHeapAllocAfter(0);
  EXPECT_EQ(E_OUTOFMEMORY, DllGetClassObject(kClass, IID_IClassFactory, &out));
  EXPECT_EQ(nullptr, out);
}

TEST_F(ComServerTest, ClassObjectFollowsTheFileAndFailsWithoutIt) {
  sim::WriteFile(std::wstring(kModule) + L".ini", "{6B3C2A10-95E4-4F7D-8A21-3C5D7E9F0B15}\r\nUSB\\X\r\n");
  void *out = kPoison;
  EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, DllGetClassObject(kClass, IID_IClassFactory, &out));
  ASSERT_EQ(S_OK, DllGetClassObject(kOtherClass, IID_IClassFactory, &out));
  static_cast<IUnknown *>(out)->Release();
  sim::WriteFile(std::wstring(kModule) + L".ini", "{6B3C2A10-95E4-4F7D-8A21-3C5D7E9F0B14}\r\n");
  out = kPoison;
  EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, DllGetClassObject(kClass, IID_IClassFactory, &out));
  EXPECT_EQ(kPoison, out);
}

TEST_F(ComServerTest, FactoryQueryInterface) {
  IClassFactory *factory = Factory();
  void *out = kPoison;
  EXPECT_EQ(E_NOINTERFACE, factory->QueryInterface(kClass, &out));
  EXPECT_EQ(nullptr, out);
  EXPECT_EQ(E_POINTER, factory->QueryInterface(IID_IUnknown, nullptr));
  ASSERT_EQ(S_OK, factory->QueryInterface(IID_IUnknown, &out));
  EXPECT_EQ(static_cast<void *>(factory), out);
  EXPECT_EQ(3u, factory->AddRef());
  EXPECT_EQ(2u, factory->Release());
  EXPECT_EQ(1u, factory->Release());
  EXPECT_EQ(0u, factory->Release());
}

TEST_F(ComServerTest, InstanceByClassIdIsTheIasioAtTheObjectStart) {
  IClassFactory *factory = Factory();
  void *asioOut = kPoison;
  ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, kClass, &asioOut));
  EXPECT_EQ(baseObjects + 1, ObjectCount);
  auto *asio = static_cast<IASIO *>(asioOut);
  auto *driver = static_cast<ASIOPelkor *>(asio);
  EXPECT_EQ(static_cast<void *>(driver), asioOut);
  void *unknown = nullptr;
  ASSERT_EQ(S_OK, asio->QueryInterface(IID_IUnknown, &unknown));
  EXPECT_EQ(static_cast<void *>(driver->InnerUnknown()), unknown);
  EXPECT_NE(asioOut, unknown);
  // One reference from CreateInstance and one from the query: counts never read below 1.
  EXPECT_EQ(3u, asio->AddRef());
  EXPECT_EQ(2u, asio->Release());
  EXPECT_EQ(1u, static_cast<IUnknown *>(unknown)->Release());
  char name[32] = {0};
  asio->getDriverName(name);
  EXPECT_STREQ("Pelkor ASIO 1.10", name);
  EXPECT_EQ(0u, asio->Release());
  EXPECT_EQ(baseObjects, ObjectCount);
  factory->Release();
}

TEST_F(ComServerTest, InstanceByIUnknownIsTheInnerUnknown) {
  IClassFactory *factory = Factory();
  void *out = nullptr;
  ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IUnknown, &out));
  auto *unknown = static_cast<IUnknown *>(out);
  void *asio = nullptr;
  ASSERT_EQ(S_OK, unknown->QueryInterface(kClass, &asio));
  EXPECT_NE(out, asio);
  EXPECT_EQ(1u, static_cast<IASIO *>(asio)->Release());
  EXPECT_EQ(0u, unknown->Release());
  factory->Release();
}

struct CountingOuter : IUnknown {
  int addRefs = 0;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void **) override { return E_NOINTERFACE; }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++addRefs); }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
};

TEST_F(ComServerTest, AggregationTakesOnlyTheInnerUnknown) {
  IClassFactory *factory = Factory();
  CountingOuter outer;
  void *out = kPoison;
  EXPECT_EQ(E_NOINTERFACE, factory->CreateInstance(&outer, kClass, &out));
  EXPECT_EQ(kPoison, out);
  EXPECT_EQ(baseObjects, ObjectCount);
  ASSERT_EQ(S_OK, factory->CreateInstance(&outer, IID_IUnknown, &out));
  auto *inner = static_cast<IUnknown *>(out);
  void *asio = nullptr;
  ASSERT_EQ(S_OK, inner->QueryInterface(kClass, &asio));
  // The IASIO reference went to the outer object, not to the driver's own count.
  EXPECT_EQ(1, outer.addRefs);
  EXPECT_EQ(0u, inner->Release());
  factory->Release();
}

TEST_F(ComServerTest, FailedInstancesLeaveNoObject) {
  IClassFactory *factory = Factory();
  void *out = kPoison;
  EXPECT_EQ(E_POINTER, factory->CreateInstance(nullptr, kClass, nullptr));
  EXPECT_EQ(E_NOINTERFACE, factory->CreateInstance(nullptr, IID_IClassFactory, &out));
  EXPECT_EQ(nullptr, out);
  EXPECT_EQ(baseObjects, ObjectCount);
  sim::FailHeapAllocAfter(0);
  EXPECT_EQ(E_OUTOFMEMORY, factory->CreateInstance(nullptr, kClass, &out));
  sim::FailHeapAllocAfter(-1);
  EXPECT_EQ(baseObjects, ObjectCount);
  factory->Release();
}

IUnknown *CreateWithFailedStatus(IUnknown *outer, HRESULT *status) {
  *status = E_UNEXPECTED;
  return CreateDriverObject(outer, status);
}

TEST_F(ComServerTest, FailedCreationStatusDestroysTheObject) {
  FactoryEntry row = {"failing", &kClass, CreateWithFailedStatus, nullptr};
  auto *factory = new CClassFactory(&row);
  factory->AddRef();
  void *out = kPoison;
  EXPECT_EQ(E_UNEXPECTED, factory->CreateInstance(nullptr, kClass, &out));
  EXPECT_EQ(kPoison, out);
  EXPECT_EQ(baseObjects, ObjectCount);
  EXPECT_EQ(0u, factory->Release());
}

TEST_F(ComServerTest, UnloadOnlyWithoutLocksAndLiveObjects) {
  IClassFactory *factory = Factory();
  // A live factory alone does not keep the module.
  EXPECT_EQ(S_OK, DllCanUnloadNow());
  factory->LockServer(TRUE);
  factory->LockServer(TRUE);
  factory->LockServer(FALSE);
  EXPECT_EQ(S_FALSE, DllCanUnloadNow());
  factory->LockServer(FALSE);
  EXPECT_EQ(S_OK, DllCanUnloadNow());
  void *asio = nullptr;
  ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, kClass, &asio));
  factory->Release();
  EXPECT_EQ(S_FALSE, DllCanUnloadNow());
  static_cast<IASIO *>(asio)->Release();
  EXPECT_EQ(S_OK, DllCanUnloadNow());
  // An extra unlock leaves the count negative; that does not keep the module either.
  ServerLockCount = -1;
  EXPECT_EQ(S_OK, DllCanUnloadNow());
}

}  // namespace
