/*
 * Requests the filter does not handle: I/O of every kind and power. Both reuse the caller's stack
 * location and set no completion routine, so completion goes straight to the caller.
 *
 * The remove lock is held while the request is handed down, so that IRP_MN_REMOVE_DEVICE does not
 * detach and delete the filter between reading LowerDevice and the call into it. Once removal has
 * begun the request is failed here with STATUS_DELETE_PENDING instead of reaching a stack that is
 * going away.
 */
#include "usbmodeflt.h"

/*
 * UmfDispatchPassThrough hands any request down unchanged. IRQL: <= DISPATCH_LEVEL. The lower
 * driver completes the IRP; the remove lock is released here as soon as the call returns.
 */
NTSTATUS NTAPI UmfDispatchPassThrough(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
  PUMF_DEVICE_EXTENSION extension = (PUMF_DEVICE_EXTENSION)DeviceObject->DeviceExtension;
  NTSTATUS status;

  status = IoAcquireRemoveLockEx(&extension->RemoveLock, Irp, "", 1, sizeof(IO_REMOVE_LOCK));
  if (!NT_SUCCESS(status)) {
    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
  }

  IoSkipCurrentIrpStackLocation(Irp);
  status = IoCallDriver(extension->LowerDevice, Irp);

  IoReleaseRemoveLockEx(&extension->RemoveLock, Irp, sizeof(IO_REMOVE_LOCK));
  return status;
}

/*
 * UmfDispatchPower hands every power request down alike. IRQL: PASSIVE_LEVEL or DISPATCH_LEVEL
 * (the lower device's DO_POWER_PAGABLE decides, and the filter inherits it). The lower driver
 * completes the IRP; the remove lock is released here. The next power IRP is allowed to start
 * before this one leaves the filter, as the power manager requires of every driver in the stack.
 */
NTSTATUS NTAPI UmfDispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
  PUMF_DEVICE_EXTENSION extension = (PUMF_DEVICE_EXTENSION)DeviceObject->DeviceExtension;
  NTSTATUS status;

  status = IoAcquireRemoveLockEx(&extension->RemoveLock, Irp, "", 1, sizeof(IO_REMOVE_LOCK));
  if (!NT_SUCCESS(status)) {
    PoStartNextPowerIrp(Irp);
    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
  }

  PoStartNextPowerIrp(Irp);
  IoSkipCurrentIrpStackLocation(Irp);
  status = PoCallDriver(extension->LowerDevice, Irp);

  IoReleaseRemoveLockEx(&extension->RemoveLock, Irp, sizeof(IO_REMOVE_LOCK));
  return status;
}
