// SetupAPI over the simulated device tree.
#include <setupapi.h>

#include <cstring>
#include <cwctype>
#include <map>
#include <mutex>

#include "sim/devices.h"
#include "sim/machine.h"

namespace {

bool SameText(const std::wstring &a, const std::wstring &b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::towupper(static_cast<wint_t>(a[i])) != std::towupper(static_cast<wint_t>(b[i]))) return false;
  return true;
}

struct Element {
  std::wstring instanceId;
  GUID classGuid;
  bool instanceIdUnreadable;
  std::vector<uint8_t> installParams;
  bool hasInstallParams = false;
};

struct InterfaceEntry {
  sim::DeviceInterface iface;
  size_t element;  // index of the interface's device in the set
};

struct DeviceInfoSet {
  std::vector<Element> elements;
  std::vector<InterfaceEntry> interfaces;
};

struct Tree {
  std::recursive_mutex lock;
  std::vector<sim::DeviceInstance> instances;
  std::vector<sim::DeviceInterface> interfaces;
  std::vector<std::wstring> removed;
  std::vector<sim::RemovalCall> removalCalls;
  std::map<uintptr_t, DeviceInfoSet> sets;
  uintptr_t nextSet = 0x7000;
  DWORD failGetClassDevs = 0;
};

Tree &T() {
  static Tree tree;
  return tree;
}

void ResetDevices() {
  auto &t = T();
  std::lock_guard<std::recursive_mutex> guard(t.lock);
  t.instances.clear();
  t.interfaces.clear();
  t.removed.clear();
  t.removalCalls.clear();
  t.sets.clear();
  t.nextSet = 0x7000;
  t.failGetClassDevs = 0;
}
sim::ResetRegistration registration(ResetDevices);

sim::DeviceInstance *FindInstance(const std::wstring &id) {
  for (auto &instance : T().instances)
    if (SameText(instance.instanceId, id)) return &instance;
  return nullptr;
}

DeviceInfoSet *FindSet(HDEVINFO set) {
  auto it = T().sets.find(reinterpret_cast<uintptr_t>(set));
  return it == T().sets.end() ? nullptr : &it->second;
}

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// Resolves a set and one of its elements, checking what SetupAPI checks.
Element *ElementOf(HDEVINFO set, PSP_DEVINFO_DATA data, DeviceInfoSet **setOut = nullptr) {
  DeviceInfoSet *s = FindSet(set);
  if (!s) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (!data || data->cbSize != sizeof(SP_DEVINFO_DATA)) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return nullptr;
  }
  if (data->Reserved == 0 || data->Reserved > s->elements.size()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (setOut) *setOut = s;
  return &s->elements[data->Reserved - 1];
}

void FillDevInfo(const DeviceInfoSet &, size_t index, const Element &element, PSP_DEVINFO_DATA data) {
  data->ClassGuid = element.classGuid;
  data->DevInst = static_cast<DWORD>(index + 1);
  data->Reserved = index + 1;
}

}  // namespace

namespace sim {

void AddDeviceInstance(const DeviceInstance &instance) {
  std::lock_guard<std::recursive_mutex> guard(T().lock);
  T().instances.push_back(instance);
}

void SetHardwareIdBytes(const std::wstring &instanceId, const std::vector<uint8_t> &bytes) {
  std::lock_guard<std::recursive_mutex> guard(T().lock);
  sim::DeviceInstance *instance = FindInstance(instanceId);
  if (!instance) sim::Unimplemented("SetHardwareIdBytes for an instance that does not exist");
  instance->hardwareIdsRaw = true;
  instance->hardwareIdBytes = bytes;
}

bool DeviceInstanceExists(const std::wstring &instanceId) {
  std::lock_guard<std::recursive_mutex> guard(T().lock);
  return FindInstance(instanceId) != nullptr;
}

const std::vector<std::wstring> &RemovedDeviceInstances() { return T().removed; }
const std::vector<RemovalCall> &RemovalCalls() { return T().removalCalls; }

void FailGetClassDevs(DWORD error) {
  std::lock_guard<std::recursive_mutex> guard(T().lock);
  T().failGetClassDevs = error;
}

int OpenDeviceInfoSets() {
  std::lock_guard<std::recursive_mutex> guard(T().lock);
  return static_cast<int>(T().sets.size());
}

void AddDeviceInterface(const DeviceInterface &deviceInterface) {
  std::lock_guard<std::recursive_mutex> guard(T().lock);
  T().interfaces.push_back(deviceInterface);
}

const DeviceInterface *FindDeviceInterface(const std::wstring &devicePath) {
  std::lock_guard<std::recursive_mutex> guard(T().lock);
  for (auto &iface : T().interfaces)
    if (SameText(iface.devicePath, devicePath)) return &iface;
  return nullptr;
}

}  // namespace sim

extern "C" {

HDEVINFO WINAPI SetupDiGetClassDevsW(const GUID *classGuid, PCWSTR enumerator, HWND, DWORD flags) {
  auto &t = T();
  std::lock_guard<std::recursive_mutex> guard(t.lock);
  if (t.failGetClassDevs) {
    SetLastError(t.failGetClassDevs);
    t.failGetClassDevs = 0;
    return INVALID_HANDLE_VALUE;
  }
  bool present = (flags & DIGCF_PRESENT) != 0;
  DeviceInfoSet set;
  if (flags & DIGCF_DEVICEINTERFACE) {
    if (!classGuid && !(flags & DIGCF_ALLCLASSES)) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return INVALID_HANDLE_VALUE;
    }
    if (enumerator) sim::Unimplemented("SetupDiGetClassDevsW with an enumerator for device interfaces");
    for (auto &iface : t.interfaces) {
      if (present && !iface.present) continue;
      if (classGuid && !(flags & DIGCF_ALLCLASSES) && !IsEqualGUID(*classGuid, iface.classGuid)) continue;
      size_t element = set.elements.size();
      for (size_t i = 0; i < set.elements.size(); ++i)
        if (SameText(set.elements[i].instanceId, iface.instanceId)) element = i;
      if (element == set.elements.size()) {
        sim::DeviceInstance *instance = FindInstance(iface.instanceId);
        set.elements.push_back(Element{iface.instanceId, instance ? instance->classGuid : GUID{},
                                       iface.instanceIdUnreadable, {}, false});
      }
      set.interfaces.push_back(InterfaceEntry{iface, element});
    }
  } else {
    if (!classGuid && !(flags & DIGCF_ALLCLASSES)) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return INVALID_HANDLE_VALUE;
    }
    for (auto &instance : t.instances) {
      if (present && !instance.present) continue;
      if (enumerator && !SameText(enumerator, instance.enumerator)) continue;
      if (!(flags & DIGCF_ALLCLASSES) && !IsEqualGUID(*classGuid, instance.classGuid)) continue;
      set.elements.push_back(Element{instance.instanceId, instance.classGuid, false, {}, false});
    }
  }
  uintptr_t value = t.nextSet;
  t.nextSet += 8;
  t.sets[value] = std::move(set);
  return reinterpret_cast<HDEVINFO>(value);
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO set) {
  std::lock_guard<std::recursive_mutex> guard(T().lock);
  if (!T().sets.erase(reinterpret_cast<uintptr_t>(set))) return Fail(ERROR_INVALID_HANDLE);
  return TRUE;
}

BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO set, DWORD memberIndex, PSP_DEVINFO_DATA data) {
  std::lock_guard<std::recursive_mutex> guard(T().lock);
  DeviceInfoSet *s = FindSet(set);
  if (!s) return Fail(ERROR_INVALID_HANDLE);
  if (!data || data->cbSize != sizeof(SP_DEVINFO_DATA)) return Fail(ERROR_INVALID_USER_BUFFER);
  if (memberIndex >= s->elements.size()) return Fail(ERROR_NO_MORE_ITEMS);
  FillDevInfo(*s, memberIndex, s->elements[memberIndex], data);
  return TRUE;
}

BOOL WINAPI SetupDiGetDeviceRegistryPropertyW(HDEVINFO set, PSP_DEVINFO_DATA data, DWORD property,
                                              PDWORD propertyType, PBYTE buffer, DWORD bufferSize,
                                              PDWORD requiredSize) {
  std::lock_guard<std::recursive_mutex> guard(T().lock);
  Element *element = ElementOf(set, data);
  if (!element) return FALSE;
  if (property != SPDRP_HARDWAREID) sim::Unimplemented("SetupDiGetDeviceRegistryPropertyW for this property");
  sim::DeviceInstance *instance = FindInstance(element->instanceId);
  if (!instance) return Fail(static_cast<DWORD>(ERROR_NO_SUCH_DEVINST));
  if (instance->hardwareIdsRaw) {
    const std::vector<uint8_t> &bytes = instance->hardwareIdBytes;
    // Sizes scale with the width of WCHAR, so that a buffer of N characters holds what it
    // holds on Windows.
    DWORD needed = static_cast<DWORD>((bytes.size() * sizeof(WCHAR) + 1) / 2);
    if (requiredSize) *requiredSize = needed;
    if (propertyType) *propertyType = REG_MULTI_SZ;
    if (!buffer && bufferSize) return Fail(ERROR_INVALID_PARAMETER);
    if (bufferSize < needed) return Fail(ERROR_INSUFFICIENT_BUFFER);
    WCHAR *out = reinterpret_cast<WCHAR *>(buffer);
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) out[i / 2] = static_cast<WCHAR>(bytes[i] | (bytes[i + 1] << 8));
    // An odd last byte fills the low half of its unit; the high half keeps what the caller had.
    if (bytes.size() % 2) {
      WCHAR &last = out[bytes.size() / 2];
      last = static_cast<WCHAR>((static_cast<unsigned>(last) & ~0xFFu) | bytes.back());
    }
    return TRUE;
  }
  if (instance->hardwareIds.empty()) return Fail(ERROR_INVALID_DATA);
  // REG_MULTI_SZ as Windows stores it: UTF-16 entries, each terminated, and one more terminator.
  std::vector<uint16_t> units;
  for (auto &id : instance->hardwareIds) {
    for (wchar_t c : id) units.push_back(static_cast<uint16_t>(c));
    units.push_back(0);
  }
  units.push_back(0);
  DWORD needed = static_cast<DWORD>(units.size() * sizeof(WCHAR));
  if (requiredSize) *requiredSize = needed;
  if (propertyType) *propertyType = REG_MULTI_SZ;
  if (!buffer && bufferSize) return Fail(ERROR_INVALID_PARAMETER);
  if (bufferSize < needed) return Fail(ERROR_INSUFFICIENT_BUFFER);
  WCHAR *out = reinterpret_cast<WCHAR *>(buffer);
  for (size_t i = 0; i < units.size(); ++i) out[i] = static_cast<WCHAR>(units[i]);
  return TRUE;
}

BOOL WINAPI SetupDiSetClassInstallParamsW(HDEVINFO set, PSP_DEVINFO_DATA data, PSP_CLASSINSTALL_HEADER params,
                                          DWORD paramsSize) {
  std::lock_guard<std::recursive_mutex> guard(T().lock);
  Element *element = ElementOf(set, data);
  if (!element) return FALSE;
  sim::DeviceInstance *instance = FindInstance(element->instanceId);
  if (instance && instance->setParamsError) return Fail(instance->setParamsError);
  if (!params) {
    element->hasInstallParams = false;
    return TRUE;
  }
  if (params->cbSize != sizeof(SP_CLASSINSTALL_HEADER) || paramsSize < sizeof(SP_CLASSINSTALL_HEADER))
    return Fail(ERROR_INVALID_USER_BUFFER);
  const uint8_t *bytes = reinterpret_cast<const uint8_t *>(params);
  element->installParams.assign(bytes, bytes + paramsSize);
  element->hasInstallParams = true;
  return TRUE;
}

BOOL WINAPI SetupDiCallClassInstaller(DI_FUNCTION function, HDEVINFO set, PSP_DEVINFO_DATA data) {
  auto &t = T();
  std::lock_guard<std::recursive_mutex> guard(t.lock);
  if (function != DIF_REMOVE) sim::Unimplemented("SetupDiCallClassInstaller for this function");
  Element *element = ElementOf(set, data);
  if (!element) return FALSE;
  sim::RemovalCall call{element->instanceId, 0, 0, 0, 0, 0};
  if (element->hasInstallParams) {
    SP_REMOVEDEVICE_PARAMS params = {};
    size_t n = element->installParams.size() < sizeof(params) ? element->installParams.size() : sizeof(params);
    memcpy(&params, element->installParams.data(), n);
    call = sim::RemovalCall{element->instanceId, params.ClassInstallHeader.cbSize,
                            params.ClassInstallHeader.InstallFunction, params.Scope, params.HwProfile,
                            static_cast<DWORD>(element->installParams.size())};
  }
  t.removalCalls.push_back(call);
  sim::DeviceInstance *instance = FindInstance(element->instanceId);
  if (!instance) return Fail(static_cast<DWORD>(ERROR_NO_SUCH_DEVINST));
  if (instance->removeError) return Fail(instance->removeError);
  std::wstring id = instance->instanceId;
  for (auto it = t.instances.begin(); it != t.instances.end(); ++it)
    if (SameText(it->instanceId, id)) {
      t.instances.erase(it);
      break;
    }
  t.removed.push_back(id);
  return TRUE;
}

BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA data, const GUID *interfaceClassGuid,
                                        DWORD memberIndex, PSP_DEVICE_INTERFACE_DATA interfaceData) {
  std::lock_guard<std::recursive_mutex> guard(T().lock);
  DeviceInfoSet *s = FindSet(set);
  if (!s) return Fail(ERROR_INVALID_HANDLE);
  if (data) sim::Unimplemented("SetupDiEnumDeviceInterfaces restricted to one device");
  if (!interfaceClassGuid || !interfaceData) return Fail(ERROR_INVALID_PARAMETER);
  if (interfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) return Fail(ERROR_INVALID_USER_BUFFER);
  DWORD seen = 0;
  for (size_t i = 0; i < s->interfaces.size(); ++i) {
    if (!IsEqualGUID(s->interfaces[i].iface.classGuid, *interfaceClassGuid)) continue;
    if (seen++ != memberIndex) continue;
    interfaceData->InterfaceClassGuid = s->interfaces[i].iface.classGuid;
    interfaceData->Flags = 1;  // SPINT_ACTIVE
    interfaceData->Reserved = i + 1;
    return TRUE;
  }
  return Fail(ERROR_NO_MORE_ITEMS);
}

BOOL WINAPI SetupDiGetDeviceInterfaceDetailW(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA interfaceData,
                                             PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD detailSize,
                                             PDWORD requiredSize, PSP_DEVINFO_DATA data) {
  std::lock_guard<std::recursive_mutex> guard(T().lock);
  DeviceInfoSet *s = FindSet(set);
  if (!s) return Fail(ERROR_INVALID_HANDLE);
  if (!interfaceData || interfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) ||
      interfaceData->Reserved == 0 || interfaceData->Reserved > s->interfaces.size())
    return Fail(ERROR_INVALID_PARAMETER);
  if (detail && detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) return Fail(ERROR_INVALID_USER_BUFFER);
  if (!detail && detailSize) return Fail(ERROR_INVALID_USER_BUFFER);
  if (data && data->cbSize != sizeof(SP_DEVINFO_DATA)) return Fail(ERROR_INVALID_USER_BUFFER);
  const InterfaceEntry &entry = s->interfaces[interfaceData->Reserved - 1];
  const std::wstring &path = entry.iface.devicePath;
  DWORD needed = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) +
                                    (path.size() + 1) * sizeof(WCHAR));
  if (requiredSize) *requiredSize = needed;
  if (detailSize < needed) return Fail(ERROR_INSUFFICIENT_BUFFER);
  wmemcpy(detail->DevicePath, path.c_str(), path.size() + 1);
  if (data) FillDevInfo(*s, entry.element, s->elements[entry.element], data);
  return TRUE;
}

BOOL WINAPI SetupDiGetDeviceInstanceIdW(HDEVINFO set, PSP_DEVINFO_DATA data, PWSTR instanceId, DWORD size,
                                        PDWORD requiredSize) {
  std::lock_guard<std::recursive_mutex> guard(T().lock);
  Element *element = ElementOf(set, data);
  if (!element) return FALSE;
  if (element->instanceIdUnreadable) return Fail(static_cast<DWORD>(ERROR_NO_SUCH_DEVINST));
  DWORD needed = static_cast<DWORD>(element->instanceId.size() + 1);
  if (requiredSize) *requiredSize = needed;
  if (!instanceId && size) return Fail(ERROR_INVALID_USER_BUFFER);
  if (size < needed) return Fail(ERROR_INSUFFICIENT_BUFFER);
  wmemcpy(instanceId, element->instanceId.c_str(), needed);
  return TRUE;
}

}  // extern "C"
