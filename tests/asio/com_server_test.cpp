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

const wchar_t kIdentityFile[] = L"C:\\Drivers\\Vantrel\\asio.dll.ini";
const CLSID kClass = {0x6B3C2A10, 0x95E4, 0x4F7D, {0x8A, 0x21, 0x3C, 0x5D, 0x7E, 0x9F, 0x0B, 0x14}};
const CLSID kOtherClass = {0x6B3C2A10, 0x95E4, 0x4F7D, {0x8A, 0x21, 0x3C, 0x5D, 0x7E, 0x9F, 0x0B, 0x15}};
void *const kPoison = reinterpret_cast<void *>(static_cast<uintptr_t>(0xDEADBEEF));

class ComServerTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    sim::LoadModule(L"C:\\Drivers\\Vantrel\\asio.dll");
    // Lines 1 and 2 are all a class factory needs.
    sim::WriteFile(kIdentityFile, "{6B3C2A10-95E4-4F7D-8A21-3C5D7E9F0B14}\r\nUSB\\VID_F1E5&PID_7A11\r\n");
    baseObjects = ObjectCount;
  }
  void TearDown() override {
    EXPECT_EQ(baseObjects, ObjectCount) << "driver objects left alive";
    ServerLockCount = 0;
    MachineTest::TearDown();
  }
  IClassFactory *Factory() {
    void *factory = nullptr;
    EXPECT_EQ(S_OK, DllGetClassObject(kClass, IID_IClassFactory, &factory));
    return static_cast<IClassFactory *>(factory);
  }
  LONG baseObjects = 0;
};

TEST_F(ComServerTest, ClassObjectIsOneFactoryForIUnknownAndIClassFactory) {
  void *unknown = kPoison, *again = nullptr, *other = kPoison;
  ASSERT_EQ(S_OK, DllGetClassObject(kClass, IID_IUnknown, &unknown));
  auto *factory = static_cast<IClassFactory *>(unknown);
  ASSERT_EQ(S_OK, factory->QueryInterface(IID_IClassFactory, &again));
  EXPECT_EQ(unknown, again);
  EXPECT_EQ(E_NOINTERFACE, factory->QueryInterface(kClass, &other));
  EXPECT_EQ(nullptr, other);
  EXPECT_EQ(3u, factory->AddRef());
  EXPECT_EQ(2u, factory->Release());
  EXPECT_EQ(1u, factory->Release());
  EXPECT_EQ(0u, factory->Release());
  EXPECT_STREQ(L"USB\\VID_F1E5&PID_7A11", DeviceIdPrefix);
}

TEST_F(ComServerTest, ClassObjectRefusalsLeaveTheOutPointer) {
  void *out = kPoison;
  EXPECT_EQ(E_NOINTERFACE, DllGetClassObject(kClass, kClass, &out));
  EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, DllGetClassObject(kOtherClass, IID_IClassFactory, &out));
  EXPECT_EQ(kPoison, out);
  // The file is read at every call: the class served is the one it names now.
  sim::WriteFile(kIdentityFile, "{6B3C2A10-95E4-4F7D-8A21-3C5D7E9F0B15}\r\nUSB\\X\r\n");
  EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, DllGetClassObject(kClass, IID_IClassFactory, &out));
  sim::WriteFile(kIdentityFile, "{6B3C2A10-95E4-4F7D-8A21-3C5D7E9F0B15}\r\n");
  EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, DllGetClassObject(kOtherClass, IID_IClassFactory, &out));
  EXPECT_EQ(kPoison, out);
  EXPECT_EQ(E_POINTER, DllGetClassObject(kOtherClass, IID_IClassFactory, nullptr));
  sim::WriteFile(kIdentityFile, "{6B3C2A10-95E4-4F7D-8A21-3C5D7E9F0B14}\r\nUSB\\X\r\n");
  sim::FailHeapAllocAfter(0);
  EXPECT_EQ(E_OUTOFMEMORY, DllGetClassObject(kClass, IID_IClassFactory, &out));
  EXPECT_EQ(nullptr, out);
}

TEST_F(ComServerTest, InstanceByClassIdIsIasioAtTheStartAndIUnknownTheInnerUnknown) {
  IClassFactory *factory = Factory();
  void *asioOut = kPoison, *unknown = nullptr;
  ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, kClass, &asioOut));
  EXPECT_EQ(baseObjects + 1, ObjectCount);
  auto *asio = static_cast<IASIO *>(asioOut);
  auto *driver = static_cast<ASIOPelkor *>(asio);
  EXPECT_EQ(static_cast<void *>(driver), asioOut);
  ASSERT_EQ(S_OK, asio->QueryInterface(IID_IUnknown, &unknown));
  EXPECT_EQ(static_cast<void *>(driver->InnerUnknown()), unknown);
  // One reference from CreateInstance, one from the query; counts never read below 1.
  EXPECT_EQ(3u, asio->AddRef());
  EXPECT_EQ(2u, asio->Release());
  EXPECT_EQ(1u, static_cast<IUnknown *>(unknown)->Release());
  EXPECT_EQ(0u, asio->Release());
  EXPECT_EQ(baseObjects, ObjectCount);
  ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IUnknown, &unknown));
  EXPECT_EQ(0u, static_cast<IUnknown *>(unknown)->Release());
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
  void *out = kPoison, *asio = nullptr;
  EXPECT_EQ(E_NOINTERFACE, factory->CreateInstance(&outer, kClass, &out));
  EXPECT_EQ(kPoison, out);
  ASSERT_EQ(S_OK, factory->CreateInstance(&outer, IID_IUnknown, &out));
  ASSERT_EQ(S_OK, static_cast<IUnknown *>(out)->QueryInterface(kClass, &asio));
  // The IASIO reference went to the outer object, not to the driver's own count.
  EXPECT_EQ(1, outer.addRefs);
  EXPECT_EQ(0u, static_cast<IUnknown *>(out)->Release());
  factory->Release();
}

IUnknown *CreateWithFailedStatus(IUnknown *outer, HRESULT *status) {
  *status = E_UNEXPECTED;
  return CreateDriverObject(outer, status);
}

TEST_F(ComServerTest, FailedInstancesLeaveNoObject) {
  IClassFactory *factory = Factory();
  void *out = kPoison;
  EXPECT_EQ(E_POINTER, factory->CreateInstance(nullptr, kClass, nullptr));
  EXPECT_EQ(E_NOINTERFACE, factory->CreateInstance(nullptr, IID_IClassFactory, &out));
  EXPECT_EQ(nullptr, out);
  sim::FailHeapAllocAfter(0);
  EXPECT_EQ(E_OUTOFMEMORY, factory->CreateInstance(nullptr, kClass, &out));
  sim::FailHeapAllocAfter(-1);
  factory->Release();
  FactoryEntry row = {"failing", &kClass, CreateWithFailedStatus, nullptr};
  CClassFactory failing(&row);
  out = kPoison;
  EXPECT_EQ(E_UNEXPECTED, failing.CreateInstance(nullptr, kClass, &out));
  EXPECT_EQ(kPoison, out);
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
  // More unlocks than locks leave a negative count, which keeps nothing loaded.
  factory->LockServer(FALSE);
  EXPECT_EQ(S_OK, DllCanUnloadNow());
  void *asio = nullptr;
  ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, kClass, &asio));
  factory->Release();
  EXPECT_EQ(S_FALSE, DllCanUnloadNow());
  static_cast<IASIO *>(asio)->Release();
  EXPECT_EQ(S_OK, DllCanUnloadNow());
}

}  // namespace
