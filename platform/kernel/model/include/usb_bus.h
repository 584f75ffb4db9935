// A scriptable lower driver that plays the USB bus under a filter: it owns the physical device
// object, answers the start request and URBs as the test scripts them (at once, pended and
// completed later from another thread, or failed), and records every request it receives.
#pragma once

#include <usb.h>
#include <usbioctl.h>
#include <wdm.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace km {

enum class Answer {
  Complete,        // completed in the dispatch routine with the scripted status
  CompleteLater,   // pended, then completed from another thread at the scripted IRQL
  Hold,            // pended until the test calls CompleteHeld
};

struct Script {
  Answer start = Answer::Complete;
  NTSTATUS startStatus = STATUS_SUCCESS;
  Answer urb = Answer::Complete;
  NTSTATUS urbStatus = STATUS_SUCCESS;
  Answer other = Answer::Complete;
  NTSTATUS otherStatus = STATUS_SUCCESS;
  KIRQL laterIrql = DISPATCH_LEVEL; // completion from the bus's thread runs as from a DPC
  std::chrono::milliseconds delay{20};
};

struct Received {
  uint64_t sequence;
  PIRP irp;
  IO_STACK_LOCATION location;   // copy, as it reached the bus
  PIO_STACK_LOCATION locationAddress;
  PVOID systemBuffer;           // the IRP's AssociatedIrp.SystemBuffer and UserBuffer on arrival:
  PVOID userBuffer;             // the IRP itself is gone once it has completed
  KIRQL irql;
  std::thread::id thread;
  bool urb;                     // IOCTL_INTERNAL_USB_SUBMIT_URB
  PVOID urbAddress;
  std::vector<unsigned char> urbBytes; // Hdr.Length bytes (at most one vendor request's size)
  uint64_t completedSequence;   // when the bus completed it (0: not yet)
  NTSTATUS completedStatus;     // and with which status
};

class UsbBus {
public:
  UsbBus();
  ~UsbBus(); // joins the completion threads
  UsbBus(const UsbBus &) = delete;
  UsbBus &operator=(const UsbBus &) = delete;

  PDEVICE_OBJECT Pdo() const { return pdo_; }
  PDRIVER_OBJECT Driver() const { return driver_; }
  Script &script() { return script_; }

  std::vector<Received> Requests();
  std::vector<Received> Urbs();
  size_t Count(UCHAR major, int minor = -1);

  // Pauses the next request of this major code inside the bus's dispatch routine until
  // ReleasePaused, to hold a request on its way down while another thread acts.
  void PauseNext(UCHAR major);
  bool WaitPaused(std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));
  void ReleasePaused();

  // Completes the oldest held request, from a new thread at `irql`, or on the caller's thread
  // when irql is PASSIVE_LEVEL and onThread is false.
  bool CompleteHeld(NTSTATUS status, KIRQL irql = DISPATCH_LEVEL, bool onThread = true);
  size_t HeldCount();

  void JoinThreads();

private:
  static NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp);
  NTSTATUS Handle(PIRP irp);
  NTSTATUS Answer(PIRP irp, km::Answer answer, NTSTATUS status, size_t index);
  void Complete(PIRP irp, NTSTATUS status, size_t index);

  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT pdo_ = nullptr;
  Script script_;
  std::mutex mutex_;
  std::condition_variable pauseChanged_;
  std::vector<Received> received_;
  std::vector<std::pair<PIRP, size_t>> held_;
  std::vector<std::thread> threads_;
  int pausedMajor_ = -1;
  bool paused_ = false;
  bool releasePaused_ = false;
};

} // namespace km
