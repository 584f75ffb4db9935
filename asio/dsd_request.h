// Switching the DAC to native DSD: one USB vendor request over WinUSB, sent to the device
// interface whose device instance ID begins with the identity file's prefix.
#pragma once

#include <windows.h>

// Vendor request that switches the DAC to native DSD.
enum { DSD_MODE_VENDOR_REQUEST = 0xF2 };

// 0 when the request was sent, -1 otherwise. Messages go to standard output.
int SendDsdModeRequest(const WCHAR *prefix);

// An open handle to the first present device interface of the DAC's WinUSB interface class
// whose device instance ID begins with `prefix` (letter case ignored), or null.
HANDLE OpenDeviceByInstancePrefix(const WCHAR *prefix);

// Sends vendor request `request` on the device's default control pipe. 1 on success, 0
// otherwise; the device handle is closed in every case.
int SendVendorControl(HANDLE device, UCHAR request);
