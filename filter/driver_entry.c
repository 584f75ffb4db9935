/*
 * Driver entry, AddDevice and unload.
 */
#include "usbmodeflt.h"

/*
 * DriverEntry installs the dispatch routines. IRQL: PASSIVE_LEVEL. It allocates nothing, so
 * UmfUnload has nothing to release.
 */
UMF_INIT_CODE
NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
  ULONG major;

  UNREFERENCED_PARAMETER(RegistryPath);

  DriverObject->MajorFunction[IRP_MJ_CREATE] = UmfDispatchPassThrough;
  DriverObject->MajorFunction[IRP_MJ_CLOSE] = UmfDispatchPassThrough;
  DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = UmfDispatchPassThrough;
  DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = UmfDispatchPassThrough;
  DriverObject->MajorFunction[IRP_MJ_READ] = UmfDispatchPassThrough;
  DriverObject->MajorFunction[IRP_MJ_WRITE] = UmfDispatchPassThrough;
  DriverObject->MajorFunction[IRP_MJ_PNP] = UmfDispatchPnp;
  DriverObject->MajorFunction[IRP_MJ_POWER] = UmfDispatchPower;

  /*
   * A filter must hand down whatever it does not handle itself: the drivers below answer cleanup,
   * flush and WMI requests too. The I/O manager has already put its own handler, which fails the
   * request, into every slot, so a slot that does not hold one of this driver's routines is
   * overwritten, not only an empty one.
   */
  for (major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; major++) {
    if (DriverObject->MajorFunction[major] != UmfDispatchPnp &&
        DriverObject->MajorFunction[major] != UmfDispatchPower) {
      DriverObject->MajorFunction[major] = UmfDispatchPassThrough;
    }
  }

  DriverObject->DriverExtension->AddDevice = UmfAddDevice;
  DriverObject->DriverUnload = UmfUnload;
  return STATUS_SUCCESS;
}

/*
 * UmfAddDevice creates the filter device object and attaches it on top of the stack that the PnP
 * manager hands over. IRQL: PASSIVE_LEVEL. On failure nothing is left behind.
 */
UMF_PAGED_CODE
NTSTATUS NTAPI UmfAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
  PDEVICE_OBJECT device = NULL;
  PUMF_DEVICE_EXTENSION extension;
  NTSTATUS status;

  PAGED_CODE();

  status = IoCreateDevice(DriverObject, sizeof(UMF_DEVICE_EXTENSION), /* DeviceName */ NULL,
                          FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN, /* Exclusive */ FALSE,
                          &device);
  if (!NT_SUCCESS(status)) {
    return status;
  }

  extension = (PUMF_DEVICE_EXTENSION)device->DeviceExtension;
  RtlZeroMemory(extension, sizeof(UMF_DEVICE_EXTENSION));
  extension->Self = device;
  extension->Pdo = PhysicalDeviceObject;
  IoInitializeRemoveLockEx(&extension->RemoveLock, UMF_POOL_TAG, /* MaxLockedMinutes */ 0,
                           /* HighWatermark */ 0, sizeof(IO_REMOVE_LOCK));

  extension->LowerDevice = IoAttachDeviceToDeviceStack(device, PhysicalDeviceObject);
  if (extension->LowerDevice == NULL) {
    IoDeleteDevice(device);
    return STATUS_NO_SUCH_DEVICE;
  }

  /* Drivers above see the filter's flags, not the lower device's: they must agree on how buffers
   * are described and whether power requests may be paged. */
  device->Flags |= extension->LowerDevice->Flags & UMF_INHERITED_FLAGS;
  device->Flags &= ~(ULONG)DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

/*
 * UmfUnload runs after the last filter device object is gone. IRQL: PASSIVE_LEVEL.
 */
UMF_PAGED_CODE
VOID NTAPI UmfUnload(PDRIVER_OBJECT DriverObject)
{
  PAGED_CODE();

  UNREFERENCED_PARAMETER(DriverObject);
}
