/*
 * usbmodeflt: lower filter on the Vantrel's USB stack. It passes every request down unchanged and,
 * each time the drivers below have started the device, sends the device vendor request 0xF3.
 */
#ifndef UMF_USBMODEFLT_H
#define UMF_USBMODEFLT_H

/* Without it the DDK's ExAllocatePoolWithTag falls back to untagged pool. */
#ifndef POOL_TAGGING
#define POOL_TAGGING 1
#endif

#include <wdm.h>
#include <usb.h>
#include <usbioctl.h>

#include "placement.h"

#ifdef __cplusplus
extern "C" {
#endif

/* "Vtrl" in memory order, as pool tools display it. */
#define UMF_POOL_TAG                                                                              \
  ((ULONG)'V' | ((ULONG)'t' << 8) | ((ULONG)'r' << 16) | ((ULONG)'l' << 24))

/* Host-to-device, vendor, device recipient. */
#define UMF_VENDOR_REQUEST_TYPE 0x40
#define UMF_START_VENDOR_REQUEST 0xF3

/* The lower device's I/O method and power-pageability are what the filter must present upward. */
#define UMF_INHERITED_FLAGS (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE)

typedef struct _UMF_DEVICE_EXTENSION {
  PDEVICE_OBJECT Self;
  PDEVICE_OBJECT LowerDevice;
  PDEVICE_OBJECT Pdo;
  IO_REMOVE_LOCK RemoveLock;
  BOOLEAN Started;
  BOOLEAN Removed;
} UMF_DEVICE_EXTENSION, *PUMF_DEVICE_EXTENSION;

DRIVER_INITIALIZE DriverEntry;
DRIVER_ADD_DEVICE UmfAddDevice;
DRIVER_UNLOAD UmfUnload;
DRIVER_DISPATCH UmfDispatchPassThrough;
DRIVER_DISPATCH UmfDispatchPnp;
DRIVER_DISPATCH UmfDispatchPower;
IO_COMPLETION_ROUTINE UmfStartCompletion;

NTSTATUS UmfStartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS UmfRemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS UmfSendStartVendorRequest(PUMF_DEVICE_EXTENSION DeviceExtension);

#ifdef __cplusplus
}
#endif

#endif /* UMF_USBMODEFLT_H */
