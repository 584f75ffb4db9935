// Pool with tags. Blocks come from the host heap, so the sanitizers see overruns and use after
// free; new blocks are filled with a pattern, so a caller that forgets to zero one is caught.
#include "state.h"

#include <cstdlib>
#include <cstring>

using namespace km::detail;

namespace {
constexpr unsigned char kFreshPoolPattern = 0xCD;
}

extern "C" PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  KIRQL irql = KeGetCurrentIrql();
  if (irql > DISPATCH_LEVEL || (PoolType == PagedPool && irql > APC_LEVEL)) {
    Violation("PoolAtBadIrql", "allocation of pool type " + std::to_string(PoolType) +
                                   " at IRQL " + std::to_string(irql));
  }
  if (Tag == 0)
    Violation("PoolTagMissing", "allocation without a tag");

  State &model = Model();
  std::lock_guard<std::mutex> guard(model.mutex);
  Faults &faults = model.faults;
  if (faults.pool > 0 && (faults.poolTag == 0 || faults.poolTag == Tag)) {
    faults.pool--;
    return nullptr;
  }
  void *block = std::malloc(NumberOfBytes == 0 ? 1 : NumberOfBytes);
  if (block == nullptr)
    return nullptr;
  std::memset(block, kFreshPoolPattern, NumberOfBytes);
  km::PoolBlock info{block, PoolType, NumberOfBytes, Tag};
  model.pool[block] = info;
  model.poolHistory.push_back({km::NextSequence(), true, info});
  return block;
}

extern "C" VOID ExFreePoolWithTag(PVOID P, ULONG Tag) {
  if (KeGetCurrentIrql() > DISPATCH_LEVEL)
    Violation("PoolAtBadIrql", "free at IRQL " + std::to_string(KeGetCurrentIrql()));

  State &model = Model();
  std::lock_guard<std::mutex> guard(model.mutex);
  auto found = model.pool.find(P);
  if (found == model.pool.end()) {
    Violation("PoolBadFree", "block " + Hex(reinterpret_cast<uintptr_t>(P)) +
                                 " is not allocated (freed twice, or never allocated)");
    return;
  }
  km::PoolBlock info = found->second;
  if (info.tag != Tag) {
    Violation("PoolTagMismatch", "block with tag " + Hex(info.tag) + " freed with tag " +
                                     Hex(Tag));
  }
  model.pool.erase(found);
  model.poolHistory.push_back({km::NextSequence(), false, info});
  std::free(P);
}

namespace km {

namespace detail {
void FreeAllPool() {
  State &model = Model();
  std::lock_guard<std::mutex> guard(model.mutex);
  for (auto &[address, block] : model.pool)
    std::free(address);
  model.pool.clear();
}
} // namespace detail

std::vector<PoolBlock> OutstandingPool() {
  State &model = Model();
  std::lock_guard<std::mutex> guard(model.mutex);
  std::vector<PoolBlock> blocks;
  for (auto &[address, block] : model.pool)
    blocks.push_back(block);
  return blocks;
}

std::vector<PoolEvent> PoolHistory() {
  State &model = Model();
  std::lock_guard<std::mutex> guard(model.mutex);
  return model.poolHistory;
}

void FailPoolAllocations(int count, ULONG tag) {
  State &model = Model();
  std::lock_guard<std::mutex> guard(model.mutex);
  model.faults.pool = count;
  model.faults.poolTag = tag;
}

} // namespace km
