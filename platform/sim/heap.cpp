// The process heap, with injectable allocation failures and a count of live blocks.
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>

#include "sim/machine.h"

namespace {

struct Heap {
  std::mutex lock;
  std::set<void *> live;
  int failAfter = -1;
};

Heap &H() {
  static Heap heap;
  return heap;
}

void ResetHeap() {
  std::lock_guard<std::mutex> guard(H().lock);
  for (void *p : H().live) std::free(p);
  H().live.clear();
  H().failAfter = -1;
}
sim::ResetRegistration registration(ResetHeap);

HANDLE const kProcessHeap = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x5000));

}  // namespace

namespace sim {
void FailHeapAllocAfter(int successes) {
  std::lock_guard<std::mutex> guard(H().lock);
  H().failAfter = successes;
}
int LiveHeapBlocks() {
  std::lock_guard<std::mutex> guard(H().lock);
  return static_cast<int>(H().live.size());
}
}  // namespace sim

extern "C" {

HANDLE WINAPI GetProcessHeap(void) { return kProcessHeap; }

LPVOID WINAPI HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
  if (heap != kProcessHeap) sim::Unimplemented("HeapAlloc on a heap other than the process heap");
  std::lock_guard<std::mutex> guard(H().lock);
  if (H().failAfter == 0) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  if (H().failAfter > 0) --H().failAfter;
  void *p = std::malloc(bytes ? bytes : 1);
  if (!p) return nullptr;
  if (flags & HEAP_ZERO_MEMORY)
    std::memset(p, 0, bytes);
  else
    std::memset(p, 0xCD, bytes);  // uninitialised memory is not zero on Windows either
  H().live.insert(p);
  return p;
}

BOOL WINAPI HeapFree(HANDLE heap, DWORD, LPVOID memory) {
  if (heap != kProcessHeap) sim::Unimplemented("HeapFree on a heap other than the process heap");
  if (!memory) return TRUE;
  std::lock_guard<std::mutex> guard(H().lock);
  if (!H().live.erase(memory)) sim::Unimplemented("HeapFree of a block that is not live (double free?)");
  std::free(memory);
  return TRUE;
}

}  // extern "C"
