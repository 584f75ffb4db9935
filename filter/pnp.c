/*
 * Plug and Play: start (with the vendor request), removal, and everything else passed down.
 */
#include "usbmodeflt.h"

/*
 * UmfDispatchPnp holds the remove lock for the request and hands it to the start or remove
 * handler, or down the stack. IRQL: PASSIVE_LEVEL. The filter never answers, fails or vetoes a
 * PnP request of its own accord; it only fails one that arrives once removal is under way.
 * The lock is released here when the call has returned, except for IRP_MN_REMOVE_DEVICE, whose
 * handler gives it up in its release-and-wait.
 */
UMF_PAGED_CODE
NTSTATUS NTAPI UmfDispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
  PUMF_DEVICE_EXTENSION extension = (PUMF_DEVICE_EXTENSION)DeviceObject->DeviceExtension;
  PIO_STACK_LOCATION stack;
  NTSTATUS status;

  PAGED_CODE();

  status = IoAcquireRemoveLockEx(&extension->RemoveLock, Irp, "", 1, sizeof(IO_REMOVE_LOCK));
  if (!NT_SUCCESS(status)) {
    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
  }

  stack = IoGetCurrentIrpStackLocation(Irp);
  switch (stack->MinorFunction) {
  case IRP_MN_START_DEVICE:
    status = UmfStartDevice(DeviceObject, Irp);
    break;

  case IRP_MN_REMOVE_DEVICE:
    return UmfRemoveDevice(DeviceObject, Irp);

  case IRP_MN_SURPRISE_REMOVAL:
    extension->Removed = TRUE;
    IoSkipCurrentIrpStackLocation(Irp);
    status = IoCallDriver(extension->LowerDevice, Irp);
    break;

  default:
    IoSkipCurrentIrpStackLocation(Irp);
    status = IoCallDriver(extension->LowerDevice, Irp);
    break;
  }

  IoReleaseRemoveLockEx(&extension->RemoveLock, Irp, sizeof(IO_REMOVE_LOCK));
  return status;
}

/*
 * UmfStartDevice lets the drivers below start the device, then sends the start vendor request
 * and completes the start request upward. IRQL: PASSIVE_LEVEL. The completion routine runs in
 * whatever context the lower driver completes in, possibly DISPATCH_LEVEL, where neither building
 * the request nor waiting for it is allowed; so it only hands the IRP back, and the request is
 * sent here, after the start has succeeded and before the IRP goes up. This routine completes the
 * IRP; the caller releases the remove lock.
 */
NTSTATUS UmfStartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
  PUMF_DEVICE_EXTENSION extension = (PUMF_DEVICE_EXTENSION)DeviceObject->DeviceExtension;
  KEVENT lowerDone;
  NTSTATUS status;

  KeInitializeEvent(&lowerDone, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(Irp, UmfStartCompletion, &lowerDone, /* InvokeOnSuccess */ TRUE,
                         /* InvokeOnError */ TRUE, /* InvokeOnCancel */ TRUE);

  status = IoCallDriver(extension->LowerDevice, Irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&lowerDone, Executive, KernelMode, /* Alertable */ FALSE,
                          /* Timeout */ NULL);
    status = Irp->IoStatus.Status;
  }

  if (NT_SUCCESS(status)) {
    extension->Started = TRUE;
    /* The start stands whatever the device makes of the request: the firmware's answer is not
     * something the drivers above could act on. */
    (void)UmfSendStartVendorRequest(extension);
  }

  /* The lower drivers' status goes up unchanged. */
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return status;
}

/*
 * UmfStartCompletion takes the start IRP back from the lower drivers for UmfStartDevice.
 * IRQL: <= DISPATCH_LEVEL. UmfStartDevice completes the IRP.
 */
NTSTATUS NTAPI UmfStartCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(Irp);

  if (Context != NULL) {
    KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, /* Wait */ FALSE);
  }
  return STATUS_MORE_PROCESSING_REQUIRED;
}

/*
 * UmfRemoveDevice passes the remove request down, waits for every other holder of the remove
 * lock, then detaches and deletes the filter device object. IRQL: PASSIVE_LEVEL. Entered with
 * the remove lock held for this IRP, which the release-and-wait gives up; the lower driver
 * completes the IRP.
 */
NTSTATUS UmfRemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
  PUMF_DEVICE_EXTENSION extension = (PUMF_DEVICE_EXTENSION)DeviceObject->DeviceExtension;
  NTSTATUS status;

  extension->Started = FALSE;
  extension->Removed = TRUE;

  /* Passed down before the wait, so the drivers below can cancel what they hold for us. */
  IoSkipCurrentIrpStackLocation(Irp);
  status = IoCallDriver(extension->LowerDevice, Irp);

  IoReleaseRemoveLockAndWaitEx(&extension->RemoveLock, Irp, sizeof(IO_REMOVE_LOCK));

  IoDetachDevice(extension->LowerDevice);
  IoDeleteDevice(DeviceObject);
  return status;
}
