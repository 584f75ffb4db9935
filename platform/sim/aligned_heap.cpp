// The C runtime's aligned blocks, with injectable failures and a count of live blocks. Freeing a
// block that _aligned_malloc did not hand out ends the run, as the debug runtime would.
#include <malloc.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>

#include "sim/machine.h"

namespace {

struct AlignedHeap {
  std::mutex lock;
  std::set<void *> live;
  int failAfter = -1;
};

AlignedHeap &A() {
  static AlignedHeap heap;
  return heap;
}

void ResetAlignedHeap() {
  std::lock_guard<std::mutex> guard(A().lock);
  for (void *p : A().live) std::free(p);
  A().live.clear();
  A().failAfter = -1;
}
sim::ResetRegistration registration(ResetAlignedHeap);

}  // namespace

namespace sim {
void FailAlignedAllocAfter(int successes) {
  std::lock_guard<std::mutex> guard(A().lock);
  A().failAfter = successes;
}
int LiveAlignedBlocks() {
  std::lock_guard<std::mutex> guard(A().lock);
  return static_cast<int>(A().live.size());
}
}  // namespace sim

extern "C" {

void *_aligned_malloc(size_t size, size_t alignment) {
  // The runtime insists on a power of two.
  if (alignment == 0 || (alignment & (alignment - 1)) != 0) {
    errno = EINVAL;
    return nullptr;
  }
  std::lock_guard<std::mutex> guard(A().lock);
  if (A().failAfter == 0) {
    errno = ENOMEM;
    return nullptr;
  }
  if (A().failAfter > 0) --A().failAfter;
  if (alignment < sizeof(void *)) alignment = sizeof(void *);
  size_t rounded = (size + alignment - 1) / alignment * alignment;
  void *p = std::aligned_alloc(alignment, rounded ? rounded : alignment);
  if (!p) {
    errno = ENOMEM;
    return nullptr;
  }
  std::memset(p, 0xCD, size);  // fresh memory is not zero on Windows either
  A().live.insert(p);
  return p;
}

void _aligned_free(void *memory) {
  if (!memory) return;
  std::lock_guard<std::mutex> guard(A().lock);
  if (!A().live.erase(memory)) sim::Unimplemented("_aligned_free of a block that is not live (double free?)");
  std::free(memory);
}

}  // extern "C"
