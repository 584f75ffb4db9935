// IRQL per thread. Threads start at PASSIVE_LEVEL; the model and the scripted bus raise it where
// Windows would run code at DISPATCH_LEVEL (completion from a DPC).
#include "state.h"

namespace {
thread_local KIRQL currentIrql = PASSIVE_LEVEL;
}

using namespace km::detail;

extern "C" KIRQL KeGetCurrentIrql(void) { return currentIrql; }

extern "C" VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
  if (NewIrql < currentIrql) {
    Violation("IrqlNotGreaterOrEqual", "KeRaiseIrql to " + std::to_string(NewIrql) + " from " +
                                           std::to_string(currentIrql));
  }
  *OldIrql = currentIrql;
  currentIrql = NewIrql;
}

extern "C" VOID KeLowerIrql(KIRQL NewIrql) {
  if (NewIrql > currentIrql) {
    Violation("IrqlNotLessOrEqual", "KeLowerIrql to " + std::to_string(NewIrql) + " from " +
                                        std::to_string(currentIrql));
  }
  currentIrql = NewIrql;
}

extern "C" VOID KmVerifierPagedCode(PCSTR Routine) {
  Violation("PagedCodeAtDispatch", std::string(Routine) + " ran at IRQL " +
                                       std::to_string(currentIrql) +
                                       "; pageable code must run at or below APC_LEVEL");
}

namespace km {

IrqlScope::IrqlScope(KIRQL irql) { KeRaiseIrql(irql, &old_); }
IrqlScope::~IrqlScope() { KeLowerIrql(old_); }

} // namespace km
