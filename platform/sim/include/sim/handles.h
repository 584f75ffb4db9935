// The simulated machine's handle table for kernel objects (files, devices, pipes, processes).
// Parts of the simulation create their objects here, so that CloseHandle closes any of them and
// tests can see what was left open.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

namespace sim {

struct KernelObject {
  virtual ~KernelObject() = default;
  // What kind of object this is, for leak reports ("device", "pipe", "process", ...).
  virtual const char *Kind() const = 0;
};

HANDLE NewHandle(std::shared_ptr<KernelObject> object, DWORD flags = 0);
// The object behind an open handle; null for a closed or unknown handle.
std::shared_ptr<KernelObject> LookupHandle(HANDLE handle);
template <typename T>
std::shared_ptr<T> LookupHandleAs(HANDLE handle) {
  return std::dynamic_pointer_cast<T>(LookupHandle(handle));
}
DWORD HandleFlags(HANDLE handle);

// Open handles, and their kinds.
int OpenHandles();
std::vector<std::string> OpenHandleKinds();

}  // namespace sim
