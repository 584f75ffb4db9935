// What reached the simulated machine's USB devices: opens of device interfaces, WinUSB
// sessions and control transfers, recorded in order so that tests can prove what was sent and
// that nothing stays open.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

struct DeviceOpen {
  std::wstring path;
  DWORD desiredAccess, shareMode, creationDisposition, flagsAndAttributes;
  bool securityNull, templateNull;
  HANDLE handle;  // INVALID_HANDLE_VALUE when the open failed
};
const std::vector<DeviceOpen> &DeviceOpens();

struct ControlTransfer {
  std::wstring devicePath;  // the interface the WinUSB session was opened on
  HANDLE deviceHandle;
  uint8_t setupPacket[8];   // as it travels: little-endian fields
  const void *buffer;
  uint8_t firstBufferByte;  // the byte at buffer, read during the call (0 when buffer is null)
  ULONG bufferLength;
  bool lengthTransferredNull, overlappedNull;
  bool succeeded;
};
const std::vector<ControlTransfer> &ControlTransfers();

// WinUSB sessions initialised and not yet freed.
int OpenWinUsbSessions();

}  // namespace sim
