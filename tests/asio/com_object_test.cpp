// The driver object's COM identity: reference counting shared through the owner, the IASIO
// pointer handed out for the class identifier, and the live-object count.
#include <gtest/gtest.h>

#include "driver.h"
#include "identity.h"
#include "machine.h"

namespace {

class ComObjectTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    DriverClassId = {0x6B3C2A10, 0x95E4, 0x4F7D, {0x8A, 0x21, 0x3C, 0x5D, 0x7E, 0x9F, 0x0B, 0x14}};
  }
};

IUnknown *InnerUnknown(ASIOPelkor *driver) { return driver->InnerUnknown(); }

TEST_F(ComObjectTest, ReferenceCountingDestroysAtZero) {
  LONG before = ObjectCount;
  ASIOPelkor *driver = new ASIOPelkor(nullptr);
  EXPECT_EQ(before + 1, ObjectCount);
  IUnknown *inner = InnerUnknown(driver);
  EXPECT_EQ(1u, inner->AddRef());
  IASIO *asio = nullptr;
  ASSERT_EQ(S_OK, inner->QueryInterface(DriverClassId, reinterpret_cast<void **>(&asio)));
  // The IASIO pointer is the start of the object.
  EXPECT_EQ(static_cast<void *>(driver), static_cast<void *>(asio));
  EXPECT_NE(static_cast<void *>(asio), static_cast<void *>(inner));
  EXPECT_EQ(3u, asio->AddRef());
  EXPECT_EQ(2u, asio->Release());
  EXPECT_EQ(1u, asio->Release());
  EXPECT_EQ(before + 1, ObjectCount);
  EXPECT_EQ(0u, inner->Release());
  EXPECT_EQ(before, ObjectCount);
}

TEST_F(ComObjectTest, QueryInterfaceForIUnknownGivesTheInnerUnknown) {
  ASIOPelkor *driver = new ASIOPelkor(nullptr);
  IUnknown *inner = InnerUnknown(driver);
  inner->AddRef();
  IUnknown *unknown = nullptr;
  ASSERT_EQ(S_OK, static_cast<IASIO *>(driver)->QueryInterface(IID_IUnknown, reinterpret_cast<void **>(&unknown)));
  EXPECT_EQ(inner, unknown);
  unknown->Release();
  void *other = reinterpret_cast<void *>(static_cast<uintptr_t>(0xDEADBEEF));
  EXPECT_EQ(E_NOINTERFACE, inner->QueryInterface(IID_IClassFactory, &other));
  EXPECT_EQ(nullptr, other);
  EXPECT_EQ(E_POINTER, inner->QueryInterface(IID_IUnknown, nullptr));
  EXPECT_EQ(0u, inner->Release());
}

// An outer object that counts what reaches it, to show that aggregation forwards.
struct Outer : IUnknown {
  int queries = 0, addRefs = 0, releases = 0;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void **) override {
    ++queries;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++addRefs + 10); }
  ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(++releases + 20); }
};

TEST_F(ComObjectTest, AggregatedObjectForwardsToTheOuterUnknown) {
  Outer outer;
  ASIOPelkor *driver = new ASIOPelkor(&outer);
  IASIO *asio = driver;
  EXPECT_EQ(11u, asio->AddRef());
  EXPECT_EQ(21u, asio->Release());
  void *p = nullptr;
  EXPECT_EQ(E_NOINTERFACE, asio->QueryInterface(IID_IUnknown, &p));
  EXPECT_EQ(1, outer.queries);
  // The inner unknown still owns the object's life.
  IUnknown *inner = InnerUnknown(driver);
  inner->AddRef();
  EXPECT_EQ(0u, inner->Release());
}

}  // namespace
