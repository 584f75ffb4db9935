// The data callback allocates nothing: this program puts its own malloc family in front of the C
// library's and counts the calls the callback's thread makes while it runs. The sanitizers bring
// allocators of their own, so there the count is not taken.
#include <gtest/gtest.h>

#include <stddef.h>

#include <vector>

#include "driver.h"
#include "driver_peer.h"
#include "machine.h"
#include "sim/machine.h"
#include "stream.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VANTREL_COUNT_ALLOCATIONS 0
#else
#define VANTREL_COUNT_ALLOCATIONS 1
#endif

namespace {
thread_local bool counting = false;
thread_local int allocations = 0;
}  // namespace

#if VANTREL_COUNT_ALLOCATIONS
extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void *__libc_memalign(size_t, size_t);
void __libc_free(void *);

void *malloc(size_t size) {
  if (counting) ++allocations;
  return __libc_malloc(size);
}
void *calloc(size_t count, size_t size) {
  if (counting) ++allocations;
  return __libc_calloc(count, size);
}
void *realloc(void *memory, size_t size) {
  if (counting) ++allocations;
  return __libc_realloc(memory, size);
}
void *aligned_alloc(size_t alignment, size_t size) {
  if (counting) ++allocations;
  return __libc_memalign(alignment, size);
}
int posix_memalign(void **memory, size_t alignment, size_t size) {
  if (counting) ++allocations;
  *memory = __libc_memalign(alignment, size);
  return *memory ? 0 : 12;
}
void free(void *memory) { __libc_free(memory); }
}
#endif

namespace {

void QuietSwitch(long, ASIOBool) {}
ASIOTime *QuietSwitchTimeInfo(ASIOTime *time, long, ASIOBool) { return time; }
long AnswerTimeInfo(long selector, long, void *, double *) { return selector == kAsioSupportsTimeInfo ? 1 : 0; }
long DeclineEverything(long, long, void *, double *) { return 0; }

class StreamAllocationTest : public MachineTest {};

TEST_F(StreamAllocationTest, TheDataCallbackAllocatesNothing) {
  if (!VANTREL_COUNT_ALLOCATIONS) GTEST_SKIP() << "the sanitizer's allocator is in front";
  // The counter itself must see an allocation, or a zero below would prove nothing.
  counting = true;
  std::vector<int> *probe = new std::vector<int>(16);
  counting = false;
  delete probe;
  ASSERT_GT(allocations, 0);

  for (bool dsd : {false, true})
    for (bool timeInfo : {false, true}) {
      ASIOPelkor driver(nullptr);
      if (dsd) {
        ASIOIoFormat format = {};
        format.FormatType = kASIODSDFormat;
        driver.future(kAsioSetIoFormat, &format);
      }
      ASIOCallbacks callbacks = {QuietSwitch, nullptr, timeInfo ? AnswerTimeInfo : DeclineEverything,
                                 QuietSwitchTimeInfo};
      ASIOBufferInfo infos[2] = {{ASIOFalse, 0, {}}, {ASIOFalse, 1, {}}};
      ASSERT_EQ(ASE_OK, driver.createBuffers(infos, 2, dsd ? 14080 : 440, &callbacks));
      driver.future(kAsioEnableTimeCodeRead, nullptr);
      DriverTestPeer::SetStarted(driver, true);
      ma_device device = {};
      device.pUserData = &driver;
      std::vector<INT32> out(2 * 440);
      allocations = 0;
      counting = true;
      for (int period = 0; period < 8; ++period)
        (dsd ? DsdDataCallback : PcmDataCallback)(&device, out.data(), nullptr, 440);
      counting = false;
      EXPECT_EQ(0, allocations) << "dsd " << dsd << ", time info " << timeInfo;
      DriverTestPeer::SetStarted(driver, false);
    }
}

}  // namespace
