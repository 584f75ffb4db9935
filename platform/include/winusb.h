// WinUSB (winusb.h), over the simulated machine's device interfaces.
#pragma once
#include <windows.h>

typedef PVOID WINUSB_INTERFACE_HANDLE, *PWINUSB_INTERFACE_HANDLE;

#pragma pack(push, 1)
typedef struct _WINUSB_SETUP_PACKET {
  UCHAR RequestType;
  UCHAR Request;
  USHORT Value;
  USHORT Index;
  USHORT Length;
} WINUSB_SETUP_PACKET, *PWINUSB_SETUP_PACKET;
#pragma pack(pop)

static_assert(sizeof(WINUSB_SETUP_PACKET) == 8, "the USB setup packet is 8 bytes");

extern "C" {
BOOL WINAPI WinUsb_Initialize(HANDLE deviceHandle, PWINUSB_INTERFACE_HANDLE interfaceHandle);
BOOL WINAPI WinUsb_Free(WINUSB_INTERFACE_HANDLE interfaceHandle);
BOOL WINAPI WinUsb_ControlTransfer(WINUSB_INTERFACE_HANDLE interfaceHandle, WINUSB_SETUP_PACKET setupPacket,
                                   PUCHAR buffer, ULONG bufferLength, PULONG lengthTransferred,
                                   LPOVERLAPPED overlapped);
}
