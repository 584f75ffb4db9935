// IRPs: allocation, IofCallDriver down a stack, IofCompleteRequest back up it with completion
// routines and their invoke flags, and the I/O manager's final completion.
#include "state.h"

#include <cstring>

using namespace km::detail;

#if defined(__SANITIZE_ADDRESS__)
#define KM_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KM_ASAN 1
#endif
#endif

namespace {

std::string IrpName(PIRP irp) { return "IRP " + Hex(reinterpret_cast<uintptr_t>(irp)); }

std::string Codes(PIO_STACK_LOCATION stack) {
  return " (major " + Hex(stack->MajorFunction) + ", minor " + Hex(stack->MinorFunction) + ")";
}

PIRP Allocate(State &model, CCHAR stackSize, bool built) {
  size_t size = sizeof(IRP) + static_cast<size_t>(stackSize) * sizeof(IO_STACK_LOCATION);
  IrpRecord record;
  record.storage.reset(new unsigned char[size]);
  record.size = size;
  std::memset(record.storage.get(), 0, size);
  record.built = built;
  static uint64_t serials = 0;
  record.serial = ++serials;
  auto *irp = reinterpret_cast<PIRP>(record.storage.get());
  auto *locations = reinterpret_cast<PIO_STACK_LOCATION>(record.storage.get() + sizeof(IRP));
  irp->Type = IO_TYPE_IRP;
  irp->Size = static_cast<USHORT>(size);
  irp->StackCount = stackSize;
  // The first driver's location is the last one; passing down moves towards the first.
  irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
  irp->Tail.Overlay.CurrentStackLocation = locations + stackSize;
  // The address may be that of an IRP freed earlier: its record gives way.
  model.irps.insert_or_assign(irp, std::move(record));
  return irp;
}

IrpRecord *Find(State &model, PIRP irp) {
  auto found = model.irps.find(irp);
  return found == model.irps.end() ? nullptr : &found->second;
}

// The IRP's memory goes back: poisoned, then freed under the address sanitizer and kept
// (quarantined) elsewhere. Called with the model lock held.
void Release(IrpRecord &record) {
  record.freed = true;
  std::memset(record.storage.get(), km::kFreedIrpByte, record.size);
#ifdef KM_ASAN
  record.storage.reset();
#endif
}

// The I/O manager's part once no completion routine holds the IRP back any more.
void FinishCompletion(PIRP irp) {
  State &model = Model();
  std::lock_guard<std::mutex> guard(model.mutex);
  IrpRecord *record = Find(model, irp);
  record->completed = true;
  record->completedSequence = km::NextSequence();
  record->finalStatus = irp->IoStatus.Status;
  record->finalInformation = irp->IoStatus.Information;
  record->poolBlocksAtCompletion = model.pool.size();
  if (record->built) {
    if (irp->UserIosb != nullptr)
      *irp->UserIosb = irp->IoStatus;
    if (irp->UserEvent != nullptr)
      irp->UserEvent->Header.SignalState = 1;
  }
  // Windows frees the IRP here, whoever allocated it; what the sender wants to know afterwards
  // it reads from its status block.
  Release(*record);
  model.changed.notify_all();
}

// What the I/O manager does to a location once completion has passed it: the codes' parameters,
// flags, file object and completion routine are gone, so a driver that reads a location after
// its request completed reads zeros. Called with the model lock held.
void ClearLocation(IrpRecord &record, int number, PIO_STACK_LOCATION stack) {
  record.controlAtCompletion[number] = stack->Control;
  stack->MinorFunction = 0;
  stack->Flags = 0;
  stack->Control = 0;
  std::memset(&stack->Parameters, 0, sizeof(stack->Parameters));
  stack->FileObject = nullptr;
  stack->CompletionRoutine = nullptr;
  stack->Context = nullptr;
}

} // namespace

extern "C" PIO_STACK_LOCATION KmVerifierIrpGone(PIRP Irp, PCSTR Routine) {
  Violation("IrpUsedAfterCompletion", std::string(Routine) + " on " + IrpName(Irp) +
                                          ", which has completed and is gone");
  thread_local IO_STACK_LOCATION scratch[2];
  std::memset(scratch, 0, sizeof(scratch));
  return &scratch[1];
}

extern "C" PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
  (void)ChargeQuota;
  State &model = Model();
  std::lock_guard<std::mutex> guard(model.mutex);
  return Allocate(model, StackSize, false);
}

extern "C" VOID IoFreeIrp(PIRP Irp) {
  State &model = Model();
  std::lock_guard<std::mutex> guard(model.mutex);
  IrpRecord *record = Find(model, Irp);
  if (record == nullptr || record->freed) {
    Violation("UnknownObject", "IoFreeIrp on " + IrpName(Irp));
    return;
  }
  if (record->sent && !record->completed && !record->heldForMoreProcessing)
    Violation("IrpFreedInFlight", IrpName(Irp) + " freed while a driver still owns it");
  Release(*record);
}

extern "C" NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  KIRQL irql = KeGetCurrentIrql();
  if (irql > DISPATCH_LEVEL)
    Violation("IrqlNotLessOrEqual", "IofCallDriver above DISPATCH_LEVEL");
  PDEVICE_OBJECT sender = RunningDevice();

  State &model = Model();
  PIO_STACK_LOCATION stack;
  uint64_t serial;
  int location;
  {
    std::lock_guard<std::mutex> guard(model.mutex);
    IrpRecord *record = Find(model, Irp);
    if (record == nullptr) {
      Violation("UnknownObject", "IofCallDriver with " + IrpName(Irp));
      return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (record->completed || record->freed) {
      Violation("IrpUsedAfterCompletion", IrpName(Irp) + " sent after its completion");
      return STATUS_INVALID_DEVICE_REQUEST;
    }
    auto target = model.devices.find(DeviceObject);
    if (target == model.devices.end()) {
      Violation("UnknownObject", "IofCallDriver to an unknown device object");
      return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (sender != nullptr) {
      auto from = model.devices.find(sender);
      if (from != model.devices.end() && (from->second.deleted || from->second.detached)) {
        Violation("SentByDetachedDevice",
                  "a request passed on by device object " +
                      Hex(reinterpret_cast<uintptr_t>(sender)) + " after it was " +
                      (from->second.deleted ? "deleted" : "detached"));
      }
    }
    if (Irp->CurrentLocation <= 1) {
      Violation("NoMoreIrpStackLocations", IrpName(Irp) + " has no location left for the next "
                                                          "driver");
      return STATUS_INVALID_DEVICE_REQUEST;
    }
    Irp->CurrentLocation--;
    Irp->Tail.Overlay.CurrentStackLocation--;
    stack = Irp->Tail.Overlay.CurrentStackLocation;
    stack->DeviceObject = DeviceObject;
    serial = record->serial;
    location = Irp->CurrentLocation;
    record->controlAtCompletion.erase(location);
    record->sent = true;
    record->heldForMoreProcessing = false;
    record->generation++;

    if (stack->MajorFunction == IRP_MJ_POWER && sender != nullptr &&
        record->nextPowerStartedBy.count(sender) == 0) {
      Violation("PowerIrpWithoutStartNext",
                "power " + IrpName(Irp) + Codes(stack) +
                    " passed on without PoStartNextPowerIrp by the driver passing it");
    }
    if (target->second.deleted) {
      Violation("SentToDeletedDevice", IrpName(Irp) + Codes(stack) + " sent to deleted device "
                                       "object " + Hex(reinterpret_cast<uintptr_t>(DeviceObject)));
    }
  }

  UCHAR major = stack->MajorFunction;
  PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject->MajorFunction[major];
  NTSTATUS status;
  {
    RunningAs running(DeviceObject);
    status = dispatch(DeviceObject, Irp);
  }
  if (KeGetCurrentIrql() != irql) {
    Violation("IrqlMismatch", "a dispatch routine returned at IRQL " +
                                  std::to_string(KeGetCurrentIrql()) + ", entered at " +
                                  std::to_string(irql));
  }
  if (status == km::kFreedIrpStatus) {
    Violation("IrpUsedAfterCompletion",
              "a dispatch routine (major " + Hex(major) + ") returned " + Hex(uint32_t(status)) +
                  ", the poison of a freed IRP: it read the IRP's status after completing it");
  }
  if (status == STATUS_PENDING) {
    // The IRP may have completed, been cleared and been freed meanwhile: completion kept the
    // location's Control for this question.
    std::lock_guard<std::mutex> guard(model.mutex);
    IrpRecord *record = Find(model, Irp);
    bool known = record != nullptr && record->serial == serial;
    UCHAR control = 0;
    if (known) {
      auto kept = record->controlAtCompletion.find(location);
      if (kept != record->controlAtCompletion.end())
        control = kept->second;
      else if (!record->freed)
        control = stack->Control;
      else
        known = false;
    }
    if (known && !(control & SL_PENDING_RETURNED)) {
      Violation("PendingNotMarked",
                "a dispatch routine returned STATUS_PENDING without IoMarkIrpPending (major " +
                    Hex(major) + ")");
    }
  }
  return status;
}

extern "C" VOID IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
  (void)PriorityBoost;
  if (KeGetCurrentIrql() > DISPATCH_LEVEL)
    Violation("IrqlNotLessOrEqual", "IofCompleteRequest above DISPATCH_LEVEL");
  State &model = Model();
  uint64_t generation;
  {
    std::lock_guard<std::mutex> guard(model.mutex);
    IrpRecord *record = Find(model, Irp);
    if (record == nullptr) {
      Violation("UnknownObject", "IofCompleteRequest with " + IrpName(Irp));
      return;
    }
    record->completions++;
    generation = ++record->generation;
    if (record->completed || record->freed) {
      Violation("IrpCompletedTwice", IrpName(Irp) + " completed again after its completion");
      return;
    }
    record->heldForMoreProcessing = false;
    // Ending a power request is one of the paths on which its driver must let the next one
    // start, as much as passing it on.
    if (Irp->CurrentLocation <= Irp->StackCount) {
      PIO_STACK_LOCATION current = Irp->Tail.Overlay.CurrentStackLocation;
      if (current->MajorFunction == IRP_MJ_POWER && current->DeviceObject != nullptr &&
          record->nextPowerStartedBy.count(current->DeviceObject) == 0) {
        Violation("PowerIrpWithoutStartNext",
                  "power " + IrpName(Irp) + Codes(current) +
                      " completed without PoStartNextPowerIrp by the driver completing it");
      }
    }
  }
  if (Irp->IoStatus.Status == STATUS_PENDING)
    Violation("CompletedWithPending", IrpName(Irp) + " completed with STATUS_PENDING");

  while (Irp->CurrentLocation <= Irp->StackCount) {
    PIO_STACK_LOCATION stack = Irp->Tail.Overlay.CurrentStackLocation;
    Irp->CurrentLocation++;
    Irp->Tail.Overlay.CurrentStackLocation++;
    Irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) ? TRUE : FALSE;

    NTSTATUS status = Irp->IoStatus.Status;
    bool invoke = stack->CompletionRoutine != nullptr &&
                  ((NT_SUCCESS(status) && (stack->Control & SL_INVOKE_ON_SUCCESS)) ||
                   (!NT_SUCCESS(status) && (stack->Control & SL_INVOKE_ON_ERROR)) ||
                   (Irp->Cancel && (stack->Control & SL_INVOKE_ON_CANCEL)));
    PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
    PVOID context = stack->Context;
    {
      std::lock_guard<std::mutex> guard(model.mutex);
      // The loop has already moved CurrentLocation past this location.
      ClearLocation(*Find(model, Irp), Irp->CurrentLocation - 1, stack);
    }
    if (invoke) {
      PDEVICE_OBJECT device = Irp->CurrentLocation > Irp->StackCount
                                  ? nullptr
                                  : Irp->Tail.Overlay.CurrentStackLocation->DeviceObject;
      NTSTATUS result;
      {
        RunningAs running(device);
        result = routine(device, Irp, context);
      }
      if (result == STATUS_MORE_PROCESSING_REQUIRED) {
        std::lock_guard<std::mutex> guard(model.mutex);
        IrpRecord *record = Find(model, Irp);
        if (record->generation == generation && !record->completed)
          record->heldForMoreProcessing = true;
        model.changed.notify_all();
        return;
      }
    } else if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
      // Without a completion routine the pending mark travels up on its own.
      IoMarkIrpPending(Irp);
    }
  }
  FinishCompletion(Irp);
}

extern "C" PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                              PVOID InputBuffer, ULONG InputBufferLength,
                                              PVOID OutputBuffer, ULONG OutputBufferLength,
                                              BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                              PIO_STATUS_BLOCK IoStatusBlock) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
    Violation("IrqlNotLessOrEqual", "IoBuildDeviceIoControlRequest at IRQL " +
                                        std::to_string(KeGetCurrentIrql()) +
                                        "; it must be called at PASSIVE_LEVEL");
  }
  State &model = Model();
  std::lock_guard<std::mutex> guard(model.mutex);
  if (model.faults.buildIoctl > 0) {
    model.faults.buildIoctl--;
    return nullptr;
  }
  PIRP irp = Allocate(model, DeviceObject->StackSize, true);
  irp->UserEvent = Event;
  irp->UserIosb = IoStatusBlock;
  irp->UserBuffer = OutputBuffer;
  irp->AssociatedIrp.SystemBuffer = InputBuffer;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL
                                                : IRP_MJ_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
  next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
  next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
  next->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
  return irp;
}

extern "C" VOID PoStartNextPowerIrp(PIRP Irp) {
  PDEVICE_OBJECT running = RunningDevice();
  State &model = Model();
  std::lock_guard<std::mutex> guard(model.mutex);
  if (IrpRecord *record = Find(model, Irp))
    record->nextPowerStartedBy.insert(running);
  else
    Violation("UnknownObject", "PoStartNextPowerIrp with " + IrpName(Irp));
}

extern "C" NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  return IofCallDriver(DeviceObject, Irp);
}

namespace km {

PIRP NewIrp(PDEVICE_OBJECT top, UCHAR major, UCHAR minor, int extra) {
  PIRP irp = IoAllocateIrp(static_cast<CCHAR>(top->StackSize + extra), FALSE);
  irp->IoStatus.Status = major == IRP_MJ_PNP ? STATUS_NOT_SUPPORTED : STATUS_SUCCESS;
  if (extra > 0)
    IoSetNextIrpStackLocation(irp);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = major;
  next->MinorFunction = minor;
  return irp;
}

IrpInfo Irp(PIRP irp) {
  State &model = Model();
  std::lock_guard<std::mutex> guard(model.mutex);
  IrpRecord *record = Find(model, irp);
  if (record == nullptr)
    return IrpInfo{};
  return IrpInfo{record->sent,          record->completed,
                 record->heldForMoreProcessing, record->completions,
                 record->completedSequence, record->finalStatus,
                 record->finalInformation,  record->poolBlocksAtCompletion,
                 record->freed};
}

bool WaitCompleted(PIRP irp, std::chrono::milliseconds timeout) {
  State &model = Model();
  std::unique_lock<std::mutex> lock(model.mutex);
  return model.changed.wait_for(lock, timeout, [&] {
    IrpRecord *record = Find(model, irp);
    return record != nullptr && record->completed;
  });
}

void FailBuildIoControlRequest(int count) {
  State &model = Model();
  std::lock_guard<std::mutex> guard(model.mutex);
  model.faults.buildIoctl = count;
}

} // namespace km
