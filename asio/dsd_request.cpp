#include "dsd_request.h"

#include <setupapi.h>
#include <stddef.h>
#include <stdio.h>
#include <wchar.h>
#include <winusb.h>

namespace {

// Device interface class under which the DAC's WinUSB interface is enumerated.
const GUID kDacInterfaceClass = {0x5E1A7C30, 0x2B94, 0x4D6E, {0x8F, 0x03, 0x91, 0xC4, 0xA7, 0xB2, 0xD6, 0x15}};

// Room for a device path of this many characters, terminator included (526 bytes with 2-byte
// characters).
const size_t kDevicePathChars = 261;
const size_t kDetailBytes = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) + kDevicePathChars * sizeof(WCHAR);

const size_t kInstanceIdChars = 100;

// bmRequestType: host to device, vendor request, recipient device.
const UCHAR kVendorRequestToDevice = 0x40;

}  // namespace

int SendDsdModeRequest(const WCHAR *prefix) {
  HANDLE device = OpenDeviceByInstancePrefix(prefix);
  if (device && SendVendorControl(device, DSD_MODE_VENDOR_REQUEST) == 1) return 0;
  return -1;
}

HANDLE OpenDeviceByInstancePrefix(const WCHAR *prefix) {
  if (!prefix) return nullptr;
  HDEVINFO set = SetupDiGetClassDevsW(&kDacInterfaceClass, /* Enumerator */ nullptr, /* hwndParent */ nullptr,
                                      DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) {
    printf("SetupDiGetClassDevs failed\n");
    return nullptr;
  }
  const size_t prefixLength = wcslen(prefix);
  HANDLE device = nullptr;
  for (DWORD index = 0;; ++index) {
    SP_DEVICE_INTERFACE_DATA interfaceData = {};
    interfaceData.cbSize = sizeof(interfaceData);
    if (!SetupDiEnumDeviceInterfaces(set, /* DeviceInfoData */ nullptr, &kDacInterfaceClass, index, &interfaceData))
      break;

    auto *detail = static_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(HeapAlloc(GetProcessHeap(), 0, kDetailBytes));
    if (!detail) break;
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    SP_DEVINFO_DATA deviceData = {};
    deviceData.cbSize = sizeof(deviceData);
    // Without the detail the device path is unknown (it may not have fitted the buffer), so
    // this interface cannot be opened: go on with the next one.
    if (!SetupDiGetDeviceInterfaceDetailW(set, &interfaceData, detail, static_cast<DWORD>(kDetailBytes),
                                          /* RequiredSize */ nullptr, &deviceData)) {
      HeapFree(GetProcessHeap(), 0, detail);
      continue;
    }

    WCHAR instanceId[kInstanceIdChars];
    instanceId[0] = L'\0';
    if (!SetupDiGetDeviceInstanceIdW(set, &deviceData, instanceId, _countof(instanceId), /* RequiredSize */ nullptr) ||
        _wcsnicmp(instanceId, prefix, prefixLength) != 0) {
      HeapFree(GetProcessHeap(), 0, detail);
      continue;
    }

    // The first matching interface is the only one tried.
    device = CreateFileW(detail->DevicePath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         /* lpSecurityAttributes */ nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                         /* hTemplateFile */ nullptr);
    HeapFree(GetProcessHeap(), 0, detail);
    if (device == INVALID_HANDLE_VALUE) {
      printf("CreateFile failed\n");
      device = nullptr;
    }
    break;
  }
  SetupDiDestroyDeviceInfoList(set);
  return device;
}

int SendVendorControl(HANDLE device, UCHAR request) {
  WINUSB_INTERFACE_HANDLE usb = nullptr;
  if (!WinUsb_Initialize(device, &usb)) {
    GetLastError();
    printf("WinUsb_Initialize failed\n");
    CloseHandle(device);
    return 0;
  }
  WINUSB_SETUP_PACKET packet = {};
  packet.RequestType = kVendorRequestToDevice;
  packet.Request = request;
  packet.Value = 0;
  packet.Index = 0;
  packet.Length = 1;
  // The request code also travels as the one data byte the packet announces; the buffer is
  // handed over with a length of 0, which is what the firmware has always been sent.
  UCHAR data[1] = {request};
  ULONG transferred = 0;
  if (!WinUsb_ControlTransfer(usb, packet, data, 0, &transferred, /* Overlapped */ nullptr)) {
    GetLastError();
    printf("WinUsb_ControlTransfer failed\n");
    WinUsb_Free(usb);
    CloseHandle(device);
    return 0;
  }
  WinUsb_Free(usb);
  CloseHandle(device);
  printf("USB vendor control message sent successfully.\n");
  return 1;
}
