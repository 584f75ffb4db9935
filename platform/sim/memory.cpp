// Sections of shared memory. A section lives while a handle or a view holds it, and its name with
// it, as the object manager keeps it; its bytes start zeroed.
#include <windows.h>

#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "sim/handles.h"
#include "sim/machine.h"

namespace {

struct Section : sim::KernelObject {
  const char *Kind() const override { return "section"; }
  std::unique_ptr<unsigned char[]> bytes;
  size_t size = 0;
};

struct Sections {
  std::mutex lock;
  // Names are case-sensitive, as the object manager's are.
  std::map<std::wstring, std::weak_ptr<Section>> byName;
  std::multimap<const void *, std::shared_ptr<Section>> views;
};
Sections &Table() {
  static Sections table;
  return table;
}
void ResetSections() {
  std::multimap<const void *, std::shared_ptr<Section>> views;
  {
    std::lock_guard<std::mutex> guard(Table().lock);
    Table().byName.clear();
    views.swap(Table().views);
  }
}
sim::ResetRegistration registration(ResetSections);

}  // namespace

extern "C" {

HANDLE WINAPI CreateFileMappingW(HANDLE file, LPSECURITY_ATTRIBUTES attributes, DWORD protect, DWORD maximumSizeHigh,
                                 DWORD maximumSizeLow, LPCWSTR name) {
  if (file != INVALID_HANDLE_VALUE) sim::Unimplemented("CreateFileMappingW on a file");
  if (attributes) sim::Unimplemented("CreateFileMappingW with security attributes");
  if (protect != PAGE_READWRITE && protect != PAGE_READONLY) sim::Unimplemented("CreateFileMappingW protection");
  if (maximumSizeHigh != 0 || maximumSizeLow == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::shared_ptr<Section> section;
  bool existed = false;
  {
    std::lock_guard<std::mutex> guard(Table().lock);
    if (name && *name) {
      std::weak_ptr<Section> &slot = Table().byName[name];
      section = slot.lock();
      existed = section != nullptr;
      if (!section) {
        section = std::make_shared<Section>();
        slot = section;
      }
    } else {
      section = std::make_shared<Section>();
    }
    if (!existed) {
      section->size = maximumSizeLow;
      section->bytes.reset(new unsigned char[maximumSizeLow]());
    }
  }
  HANDLE handle = sim::NewHandle(section);
  // An existing section keeps its own size, whatever this call asked for.
  SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return handle;
}

HANDLE WINAPI OpenFileMappingW(DWORD desiredAccess, BOOL, LPCWSTR name) {
  if (desiredAccess & ~static_cast<DWORD>(FILE_MAP_ALL_ACCESS)) sim::Unimplemented("OpenFileMappingW access");
  if (!name) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::shared_ptr<Section> section;
  {
    std::lock_guard<std::mutex> guard(Table().lock);
    auto it = Table().byName.find(name);
    if (it != Table().byName.end()) section = it->second.lock();
  }
  if (!section) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return nullptr;
  }
  return sim::NewHandle(section);
}

LPVOID WINAPI MapViewOfFile(HANDLE mapping, DWORD desiredAccess, DWORD offsetHigh, DWORD offsetLow, SIZE_T bytesToMap) {
  auto section = sim::LookupHandleAs<Section>(mapping);
  if (!section) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (desiredAccess & ~static_cast<DWORD>(FILE_MAP_ALL_ACCESS)) sim::Unimplemented("MapViewOfFile access");
  if (offsetHigh != 0 || offsetLow != 0) sim::Unimplemented("MapViewOfFile at an offset");
  if (bytesToMap > section->size) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  // Every view of a section shows the same bytes, so in the one process of the simulation a second
  // view gets the same address, and one more hold that its own unmapping lets go.
  std::lock_guard<std::mutex> guard(Table().lock);
  void *address = section->bytes.get();
  Table().views.emplace(address, section);
  return address;
}

BOOL WINAPI UnmapViewOfFile(LPCVOID baseAddress) {
  std::shared_ptr<Section> section;
  {
    std::lock_guard<std::mutex> guard(Table().lock);
    auto it = Table().views.find(baseAddress);
    if (it == Table().views.end()) {
      SetLastError(ERROR_INVALID_ADDRESS);
      return FALSE;
    }
    section = std::move(it->second);
    Table().views.erase(it);
  }
  return TRUE;
}

}  // extern "C"
