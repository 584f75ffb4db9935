// The filter on the kernel model, driven by a byte stream: a sequence of PnP, power and
// pass-through requests, how the lower driver answers each (at once, pended and completed later
// from another thread, or held until a later step completes it from another thread, with success
// or failure), allocation failures, and the IRQL of the sender. Every verifier check of the model
// is on; any check that fires, at once or in the end-of-run checks, is a crash, as is a vendor
// request the device should not have seen (or one missing).
//
// The harness plays the PnP manager as Windows does: one PnP request at a time (a held one is
// completed before the next is sent), never a request to a device after its removal (a new
// device is added instead), and every held request completed once in the end.
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fuzz_support.h"
#include "kmodel.h"
#include "usb_bus.h"
#include "usbmodeflt.h"

namespace {

const NTSTATUS kStatuses[] = {STATUS_SUCCESS, STATUS_UNSUCCESSFUL, STATUS_DEVICE_NOT_CONNECTED,
                              STATUS_CANCELLED, STATUS_INSUFFICIENT_RESOURCES, STATUS_NOT_SUPPORTED};

const UCHAR kPassThroughMajors[] = {IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_READ, IRP_MJ_WRITE,
                                    IRP_MJ_DEVICE_CONTROL, IRP_MJ_INTERNAL_DEVICE_CONTROL,
                                    IRP_MJ_CLEANUP, IRP_MJ_FLUSH_BUFFERS, IRP_MJ_SYSTEM_CONTROL};

// Not declared by the stand-in's header, which only has what the filter itself uses.
const UCHAR kQueryPnpDeviceState = 0x14;

const UCHAR kOtherPnp[] = {IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE, IRP_MN_STOP_DEVICE,
                           IRP_MN_QUERY_STOP_DEVICE,  IRP_MN_CANCEL_STOP_DEVICE,   IRP_MN_QUERY_CAPABILITIES,
                           IRP_MN_QUERY_DEVICE_RELATIONS, kQueryPnpDeviceState};

const UCHAR kPowerMinors[] = {IRP_MN_WAIT_WAKE, IRP_MN_POWER_SEQUENCE, IRP_MN_SET_POWER, IRP_MN_QUERY_POWER};

template <typename T, size_t N>
T Pick(FuzzInput &input, const T (&values)[N]) {
  return values[input.Byte() % N];
}

km::Answer PickAnswer(FuzzInput &input) {
  switch (input.Byte() % 3) {
    case 0: return km::Answer::Complete;
    case 1: return km::Answer::CompleteLater;
    default: return km::Answer::Hold;
  }
}

class Run {
 public:
  Run() {
    km::Reset();
    bus_ = std::make_unique<km::UsbBus>();
    bus_->script().delay = std::chrono::milliseconds(0);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    driver_ = km::LoadDriver(DriverEntry, &status);
    FUZZ_CHECK(status == STATUS_SUCCESS, "DriverEntry returned %#x", static_cast<unsigned>(status));
    AddFilter();
  }

  ~Run() {
    Settle();
    bus_->JoinThreads();
    km::FinishChecks();
    Report(km::TakeViolations());
    CheckVendorRequests();
    bus_.reset();
    km::Reset();
  }

  void Step(FuzzInput &input) {
    uint8_t op = input.Byte();
    switch (op % 8) {
      case 0: Start(input); break;
      case 1: OtherPnp(Pick(input, kOtherPnp), input); break;
      case 2: SurpriseRemoval(); break;
      case 3: Remove(); break;
      case 4: Power(input); break;
      case 5: PassThrough(input); break;
      case 6: CompleteOneHeld(input); break;
      default: Faults(input); break;
    }
    Report(km::TakeViolations());
  }

 private:
  void AddFilter() {
    NTSTATUS status = km::AddDevice(driver_, bus_->Pdo());
    FUZZ_CHECK(status == STATUS_SUCCESS, "AddDevice returned %#x", static_cast<unsigned>(status));
    filter_ = km::TopOfStack(bus_->Pdo());
    FUZZ_CHECK(filter_ != bus_->Pdo(), "the filter is not on the stack");
    removed_ = false;
  }

  static void Report(const std::vector<std::string> &violations) {
    for (const std::string &violation : violations) fprintf(stderr, "verifier: %s\n", violation.c_str());
    FUZZ_CHECK(violations.empty(), "%zu verifier check(s) fired", violations.size());
  }

  // The PnP manager's order: the PnP request before this one has finished, the device is there.
  void BeforePnp() {
    Settle();
    if (removed_) AddFilter();
  }

  // Completes every held request (a start may hold its vendor request next) and waits for the
  // start running on the helper thread.
  void Settle() {
    for (;;) {
      while (bus_->HeldCount() > 0) bus_->CompleteHeld(STATUS_SUCCESS);
      bus_->JoinThreads();
      if (!starter_) return;
      if (starterDone_) {
        starter_->join();
        starter_.reset();
        continue;
      }
      std::this_thread::yield();
    }
  }

  // A start is sent from a helper thread when something below may hold it: the filter waits
  // for the start and for its vendor request in the sender's thread. The harness goes on once
  // the start has finished or something is held.
  void Start(FuzzInput &input) {
    BeforePnp();
    km::Script &script = bus_->script();
    script.start = PickAnswer(input);
    script.startStatus = Pick(input, kStatuses);
    script.urb = PickAnswer(input);
    script.urbStatus = Pick(input, kStatuses);
    script.laterIrql = (input.Byte() & 1) ? DISPATCH_LEVEL : PASSIVE_LEVEL;
    PIRP irp = km::NewIrp(filter_, IRP_MJ_PNP, IRP_MN_START_DEVICE);
    if (script.start != km::Answer::Hold && script.urb != km::Answer::Hold) {
      IoCallDriver(filter_, irp);
      return;
    }
    size_t held = bus_->HeldCount();
    starterDone_ = false;
    PDEVICE_OBJECT filter = filter_;
    starter_ = std::make_unique<std::thread>([this, filter, irp] {
      IoCallDriver(filter, irp);
      starterDone_ = true;
    });
    while (!starterDone_ && bus_->HeldCount() == held) std::this_thread::yield();
  }

  void OtherPnp(UCHAR minor, FuzzInput &input) {
    BeforePnp();
    bus_->script().other = PickAnswer(input);
    bus_->script().otherStatus = Pick(input, kStatuses);
    IoCallDriver(filter_, km::NewIrp(filter_, IRP_MJ_PNP, minor));
  }

  void SurpriseRemoval() {
    BeforePnp();
    IoCallDriver(filter_, km::NewIrp(filter_, IRP_MJ_PNP, IRP_MN_SURPRISE_REMOVAL));
  }

  void Remove() {
    BeforePnp();
    IoCallDriver(filter_, km::NewIrp(filter_, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE));
    removed_ = true;
  }

  // Power and I/O may come from any thread at PASSIVE_LEVEL or DISPATCH_LEVEL, alongside a
  // PnP request in progress.
  void Power(FuzzInput &input) {
    if (removed_) AddFilter();
    UCHAR minor = Pick(input, kPowerMinors);
    bus_->script().other = PickAnswer(input);
    bus_->script().otherStatus = Pick(input, kStatuses);
    bool dispatch = (input.Byte() & 1) != 0;
    PIRP irp = km::NewIrp(filter_, IRP_MJ_POWER, minor);
    IoGetNextIrpStackLocation(irp)->Parameters.Power.Type = DevicePowerState;
    if (dispatch) {
      km::IrqlScope raised(DISPATCH_LEVEL);
      IoCallDriver(filter_, irp);
    } else {
      IoCallDriver(filter_, irp);
    }
  }

  void PassThrough(FuzzInput &input) {
    if (removed_) AddFilter();
    UCHAR major = Pick(input, kPassThroughMajors);
    bus_->script().other = PickAnswer(input);
    bus_->script().otherStatus = Pick(input, kStatuses);
    bool dispatch = (input.Byte() & 1) != 0 && (major == IRP_MJ_READ || major == IRP_MJ_WRITE ||
                                                 major == IRP_MJ_INTERNAL_DEVICE_CONTROL);
    PIRP irp = km::NewIrp(filter_, major, 0);
    if (dispatch) {
      km::IrqlScope raised(DISPATCH_LEVEL);
      IoCallDriver(filter_, irp);
    } else {
      IoCallDriver(filter_, irp);
    }
  }

  void CompleteOneHeld(FuzzInput &input) {
    NTSTATUS status = Pick(input, kStatuses);
    KIRQL irql = (input.Byte() & 1) ? DISPATCH_LEVEL : PASSIVE_LEVEL;
    bus_->CompleteHeld(status, irql);
    bus_->JoinThreads();
  }

  // What the device saw: a vendor request only after a start the drivers below completed with
  // success, at most one per start, and exactly one when no allocation was made to fail.
  void CheckVendorRequests() {
    std::vector<km::Received> requests = bus_->Requests();
    const km::Received *start = nullptr;
    int urbsAfterStart = 0;
    auto closeStart = [&] {
      if (start == nullptr) return;
      bool succeeded = NT_SUCCESS(start->completedStatus);
      FUZZ_CHECK(urbsAfterStart <= (succeeded ? 1 : 0), "%d vendor requests after a start that completed with %#x",
                 urbsAfterStart, static_cast<unsigned>(start->completedStatus));
      if (succeeded && !faultsInjected_) FUZZ_CHECK(urbsAfterStart == 1, "no vendor request after a successful start");
    };
    for (const km::Received &request : requests) {
      if (request.location.MajorFunction == IRP_MJ_PNP && request.location.MinorFunction == IRP_MN_START_DEVICE) {
        closeStart();
        start = &request;
        urbsAfterStart = 0;
      } else if (request.urb) {
        FUZZ_CHECK(start != nullptr && start->completedSequence != 0 && request.sequence > start->completedSequence,
                   "a vendor request before the start had completed below");
        ++urbsAfterStart;
      }
    }
    closeStart();
  }

  void Faults(FuzzInput &input) {
    uint8_t which = input.Byte();
    faultsInjected_ = faultsInjected_ || (which & 3) != 0;
    if (which & 1) km::FailPoolAllocations(1, UMF_POOL_TAG);
    if (which & 2) km::FailBuildIoControlRequest(1);
  }

  std::unique_ptr<km::UsbBus> bus_;
  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT filter_ = nullptr;
  bool removed_ = false;
  bool faultsInjected_ = false;
  std::unique_ptr<std::thread> starter_;
  std::atomic<bool> starterDone_{false};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzInput input(data, size);
  Run run;
  // A bounded number of steps keeps each input quick; longer inputs are cut short.
  for (int step = 0; step < 64 && !input.Empty(); ++step) run.Step(input);
  return 0;
}
