// Opening device interfaces by path, and WinUSB sessions and control transfers on them.
#include <winusb.h>

#include <cstring>
#include <map>
#include <mutex>

#include "sim/devices.h"
#include "sim/handles.h"
#include "sim/machine.h"
#include "sim/usb.h"

namespace {

struct OpenDevice : sim::KernelObject {
  sim::DeviceInterface iface;
  DWORD flags = 0;
  const char *Kind() const override { return "device"; }
};

struct Session {
  std::shared_ptr<OpenDevice> device;
  HANDLE deviceHandle;
};

struct Usb {
  std::mutex lock;
  std::vector<sim::DeviceOpen> opens;
  std::vector<sim::ControlTransfer> transfers;
  std::map<uintptr_t, Session> sessions;
  uintptr_t nextSession = 0x9000;
};

Usb &U() {
  static Usb usb;
  return usb;
}

void ResetUsb() {
  std::lock_guard<std::mutex> guard(U().lock);
  U().opens.clear();
  U().transfers.clear();
  U().sessions.clear();
  U().nextSession = 0x9000;
}
sim::ResetRegistration registration(ResetUsb);

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

}  // namespace

namespace sim {

const std::vector<DeviceOpen> &DeviceOpens() { return U().opens; }
const std::vector<ControlTransfer> &ControlTransfers() { return U().transfers; }
int OpenWinUsbSessions() {
  std::lock_guard<std::mutex> guard(U().lock);
  return static_cast<int>(U().sessions.size());
}

}  // namespace sim

extern "C" {

HANDLE WINAPI CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode,
                          LPSECURITY_ATTRIBUTES securityAttributes, DWORD creationDisposition,
                          DWORD flagsAndAttributes, HANDLE templateFile) {
  if (!fileName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  std::wstring path(fileName);
  if (path.compare(0, 4, L"\\\\?\\") != 0) sim::Unimplemented("CreateFileW on anything but a device interface");
  const sim::DeviceInterface *iface = sim::FindDeviceInterface(path);
  HANDLE handle = INVALID_HANDLE_VALUE;
  DWORD error = 0;
  if (!iface || !iface->present) {
    error = ERROR_FILE_NOT_FOUND;
  } else if (creationDisposition != OPEN_EXISTING) {
    error = ERROR_INVALID_PARAMETER;  // devices are only ever opened, never created
  } else if (iface->openError) {
    error = iface->openError;
  } else {
    auto device = std::make_shared<OpenDevice>();
    device->iface = *iface;
    device->flags = flagsAndAttributes;
    handle = sim::NewHandle(device);
  }
  {
    std::lock_guard<std::mutex> guard(U().lock);
    U().opens.push_back(sim::DeviceOpen{path, desiredAccess, shareMode, creationDisposition, flagsAndAttributes,
                                        securityAttributes == nullptr, templateFile == nullptr, handle});
  }
  if (handle == INVALID_HANDLE_VALUE) SetLastError(error);
  return handle;
}

BOOL WINAPI WinUsb_Initialize(HANDLE deviceHandle, PWINUSB_INTERFACE_HANDLE interfaceHandle) {
  if (!interfaceHandle) return Fail(ERROR_INVALID_PARAMETER);
  auto device = sim::LookupHandleAs<OpenDevice>(deviceHandle);
  if (!device) return Fail(ERROR_INVALID_HANDLE);
  // WinUSB works only on handles opened for overlapped I/O.
  if (!(device->flags & FILE_FLAG_OVERLAPPED)) return Fail(ERROR_INVALID_PARAMETER);
  if (device->iface.winUsbInitError) return Fail(device->iface.winUsbInitError);
  std::lock_guard<std::mutex> guard(U().lock);
  uintptr_t value = U().nextSession;
  U().nextSession += 0x10;
  U().sessions[value] = Session{device, deviceHandle};
  *interfaceHandle = reinterpret_cast<WINUSB_INTERFACE_HANDLE>(value);
  return TRUE;
}

BOOL WINAPI WinUsb_Free(WINUSB_INTERFACE_HANDLE interfaceHandle) {
  std::lock_guard<std::mutex> guard(U().lock);
  if (!U().sessions.erase(reinterpret_cast<uintptr_t>(interfaceHandle))) return Fail(ERROR_INVALID_HANDLE);
  return TRUE;
}

BOOL WINAPI WinUsb_ControlTransfer(WINUSB_INTERFACE_HANDLE interfaceHandle, WINUSB_SETUP_PACKET setupPacket,
                                   PUCHAR buffer, ULONG bufferLength, PULONG lengthTransferred,
                                   LPOVERLAPPED overlapped) {
  std::lock_guard<std::mutex> guard(U().lock);
  auto it = U().sessions.find(reinterpret_cast<uintptr_t>(interfaceHandle));
  if (it == U().sessions.end()) return Fail(ERROR_INVALID_HANDLE);
  // The session's device handle must still be open: WinUSB does not keep it alive.
  if (!sim::LookupHandle(it->second.deviceHandle)) return Fail(ERROR_INVALID_HANDLE);
  if (bufferLength && !buffer) return Fail(ERROR_INVALID_PARAMETER);
  sim::ControlTransfer record{};
  record.devicePath = it->second.device->iface.devicePath;
  record.deviceHandle = it->second.deviceHandle;
  const uint8_t packet[8] = {setupPacket.RequestType,
                             setupPacket.Request,
                             static_cast<uint8_t>(setupPacket.Value & 0xFF),
                             static_cast<uint8_t>(setupPacket.Value >> 8),
                             static_cast<uint8_t>(setupPacket.Index & 0xFF),
                             static_cast<uint8_t>(setupPacket.Index >> 8),
                             static_cast<uint8_t>(setupPacket.Length & 0xFF),
                             static_cast<uint8_t>(setupPacket.Length >> 8)};
  memcpy(record.setupPacket, packet, sizeof(packet));
  record.buffer = buffer;
  record.firstBufferByte = buffer ? buffer[0] : 0;
  record.bufferLength = bufferLength;
  record.lengthTransferredNull = lengthTransferred == nullptr;
  record.overlappedNull = overlapped == nullptr;
  DWORD error = it->second.device->iface.transferError;
  record.succeeded = error == 0;
  U().transfers.push_back(record);
  if (error) return Fail(error);
  // A host-to-device request moves no data back.
  if (lengthTransferred) *lengthTransferred = bufferLength;
  return TRUE;
}

}  // extern "C"
