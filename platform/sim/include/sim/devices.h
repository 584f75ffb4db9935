// The simulated machine's PnP device tree: device instances (present or phantom) with their
// hardware IDs and what the class installer answers for them, and device interfaces with the
// device behind each (what opening it, WinUSB and a control transfer on it do).
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace sim {

struct DeviceInstance {
  std::wstring instanceId;  // "USB\VID_xxxx&PID_xxxx\serial"
  // REG_MULTI_SZ entries of SPDRP_HARDWAREID; no entries means the property is absent.
  std::vector<std::wstring> hardwareIds;
  // When set, SPDRP_HARDWAREID is these bytes instead, as a driver may have written the value:
  // UTF-16LE of any length, terminators or not (an odd last byte is the low half of a unit).
  bool hardwareIdsRaw = false;
  std::vector<uint8_t> hardwareIdBytes;
  bool present = true;
  GUID classGuid = {};
  // The enumerator that SetupDiGetClassDevsW filters by (the first part of the instance ID).
  std::wstring enumerator = L"USB";
  // SetupDiCallClassInstaller(DIF_REMOVE): 0 removes the instance; any other value fails with it.
  DWORD removeError = 0;
  // SetupDiSetClassInstallParamsW: 0 accepts the parameters; any other value fails with it.
  DWORD setParamsError = 0;
};

// Adds an instance at the end of the enumeration order.
void AddDeviceInstance(const DeviceInstance &instance);
// Makes an instance's SPDRP_HARDWAREID the given raw bytes (see hardwareIdBytes).
void SetHardwareIdBytes(const std::wstring &instanceId, const std::vector<uint8_t> &bytes);
bool DeviceInstanceExists(const std::wstring &instanceId);
// Instances removed through the class installer, in order of removal.
const std::vector<std::wstring> &RemovedDeviceInstances();
// The removal parameters attached to the last SetupDiCallClassInstaller(DIF_REMOVE) call.
struct RemovalCall {
  std::wstring instanceId;
  DWORD headerSize, installFunction, scope, hwProfile, paramsSize;
};
const std::vector<RemovalCall> &RemovalCalls();
// The next SetupDiGetClassDevsW fails with this error (0: it does not).
void FailGetClassDevs(DWORD error);
struct DeviceInterface {
  GUID classGuid = {};
  std::wstring devicePath;  // "\\?\usb#vid_xxxx&pid_xxxx#serial#{class guid}"
  std::wstring instanceId;  // the device instance the interface belongs to
  bool present = true;
  // SetupDiGetDeviceInstanceIdW for the interface's device fails with ERROR_NO_SUCH_DEVINST.
  bool instanceIdUnreadable = false;
  // CreateFileW on the device path: 0 opens it; any other value fails with it.
  DWORD openError = 0;
  // WinUsb_Initialize on the opened device: 0 succeeds; any other value fails with it.
  DWORD winUsbInitError = 0;
  // WinUsb_ControlTransfer: 0 succeeds; any other value fails with it.
  DWORD transferError = 0;
};

// Adds an interface at the end of the enumeration order.
void AddDeviceInterface(const DeviceInterface &deviceInterface);
// The interface whose device path this is (compared without regard to case), or null.
const DeviceInterface *FindDeviceInterface(const std::wstring &devicePath);

// Device-information sets not yet destroyed.
int OpenDeviceInfoSets();

}  // namespace sim
