// Violation records, end-of-test checks and the model's reset.
#include "state.h"

#include <atomic>
#include <cstdio>
#include <thread>

namespace km {
namespace detail {

namespace {
std::mutex violationMutex;
std::vector<std::string> violations;
std::atomic<uint64_t> sequence{0};
thread_local std::vector<PDEVICE_OBJECT> runningDevices;
} // namespace

State &Model() {
  static State state;
  return state;
}

void Violation(const std::string &check, const std::string &detail) {
  std::lock_guard<std::mutex> guard(violationMutex);
  violations.push_back(check + ": " + detail);
}

std::string Hex(uint64_t value) {
  char text[32];
  std::snprintf(text, sizeof(text), "0x%llX", static_cast<unsigned long long>(value));
  return text;
}

std::vector<PDEVICE_OBJECT> &RunningDevices() { return runningDevices; }

PDEVICE_OBJECT RunningDevice() {
  return runningDevices.empty() ? nullptr : runningDevices.back();
}

} // namespace detail

using namespace detail;

void Reset() {
  State &model = Model();
  {
    std::lock_guard<std::mutex> guard(model.mutex);
    model.irps.clear();
    model.devices.clear();
    model.drivers.clear();
    model.locks.clear();
    model.poolHistory.clear();
    model.faults = Faults{};
  }
  FreeAllPool();
  std::lock_guard<std::mutex> guard(violationMutex);
  violations.clear();
}

void FinishChecks() {
  State &model = Model();
  std::lock_guard<std::mutex> guard(model.mutex);
  for (auto &[irp, record] : model.irps) {
    if (record.freed)
      continue;
    if (record.heldForMoreProcessing) {
      Violation("MoreProcessingNeverCompleted",
                "IRP " + Hex(reinterpret_cast<uintptr_t>(irp)) +
                    " was taken back with STATUS_MORE_PROCESSING_REQUIRED and never completed");
    } else if (record.sent && !record.completed) {
      Violation("IrpNeverCompleted", "IRP " + Hex(reinterpret_cast<uintptr_t>(irp)) +
                                         " was sent and never completed");
    } else if (record.built && !record.sent) {
      Violation("IrpNeverCompleted", "IRP " + Hex(reinterpret_cast<uintptr_t>(irp)) +
                                         " was built and never sent");
    }
  }
  for (auto &[address, block] : model.pool) {
    Violation("PoolLeaked", std::to_string(block.size) + " bytes with tag " + Hex(block.tag) +
                                " at " + Hex(reinterpret_cast<uintptr_t>(address)));
  }
  for (auto &[lock, record] : model.locks) {
    if (!record.holders.empty()) {
      Violation("RemoveLockUnbalanced",
                "lock " + Hex(reinterpret_cast<uintptr_t>(lock)) + " still has " +
                    std::to_string(record.holders.size()) + " acquisition(s) not released");
    }
  }
}

std::vector<std::string> TakeViolations() {
  std::lock_guard<std::mutex> guard(violationMutex);
  std::vector<std::string> taken;
  taken.swap(violations);
  return taken;
}

bool HasViolation(const std::string &check) {
  std::lock_guard<std::mutex> guard(violationMutex);
  for (const std::string &violation : violations) {
    if (violation.compare(0, check.size() + 1, check + ":") == 0)
      return true;
  }
  return false;
}

uint64_t NextSequence() { return ++sequence; }

bool WaitUntil(const std::function<bool()> &pred, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

} // namespace km
