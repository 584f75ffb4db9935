// Notification and synchronization events. Their state lives in the caller's KEVENT, as in the
// kernel; waiters sleep on the model's one condition variable.
#include "state.h"

using namespace km::detail;

namespace {
constexpr UCHAR kNotificationEventType = 0;
constexpr UCHAR kSynchronizationEventType = 1;
} // namespace

extern "C" VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  auto &model = Model();
  std::lock_guard<std::mutex> guard(model.mutex);
  Event->Header.Type =
      Type == NotificationEvent ? kNotificationEventType : kSynchronizationEventType;
  Event->Header.SignalState = State ? 1 : 0;
}

extern "C" LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
  (void)Increment;
  (void)Wait;
  if (KeGetCurrentIrql() > DISPATCH_LEVEL)
    Violation("IrqlNotLessOrEqual", "KeSetEvent above DISPATCH_LEVEL");
  auto &model = Model();
  std::lock_guard<std::mutex> guard(model.mutex);
  LONG previous = Event->Header.SignalState;
  Event->Header.SignalState = 1;
  model.changed.notify_all();
  return previous;
}

extern "C" LONG KeReadStateEvent(PRKEVENT Event) {
  auto &model = Model();
  std::lock_guard<std::mutex> guard(model.mutex);
  return Event->Header.SignalState;
}

extern "C" NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                          KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                          PLARGE_INTEGER Timeout) {
  (void)WaitReason;
  (void)WaitMode;
  (void)Alertable;
  bool zeroTimeout = Timeout != nullptr && Timeout->QuadPart == 0;
  if (KeGetCurrentIrql() >= DISPATCH_LEVEL && !zeroTimeout) {
    Violation("WaitAtDispatchLevel", "KeWaitForSingleObject with a time-out other than zero at "
                                     "IRQL " + std::to_string(KeGetCurrentIrql()));
  }

  auto *event = static_cast<PRKEVENT>(Object);
  auto &model = Model();
  std::unique_lock<std::mutex> lock(model.mutex);
  auto signalled = [event] { return event->Header.SignalState != 0; };

  bool satisfied;
  if (Timeout == nullptr) {
    satisfied = model.changed.wait_for(lock, kDeadlockGuard, signalled);
    if (!satisfied) {
      Violation("Deadlock", "an infinite wait was not satisfied within " +
                                std::to_string(kDeadlockGuard.count()) + " s");
    }
  } else {
    // Negative: relative, in 100 ns units. Absolute times are not used by the drivers here.
    LONGLONG ticks = Timeout->QuadPart < 0 ? -Timeout->QuadPart : 0;
    satisfied = model.changed.wait_for(lock, std::chrono::microseconds(ticks / 10), signalled);
  }
  if (!satisfied)
    return STATUS_TIMEOUT;
  if (event->Header.Type == kSynchronizationEventType)
    event->Header.SignalState = 0;
  return STATUS_SUCCESS;
}
