/*
 * The start vendor request: bmRequestType 0x40, bRequest 0xF3, wValue 0, wIndex 0, no data stage.
 */
#include "usbmodeflt.h"

/*
 * UmfSendStartVendorRequest sends the vendor request to the lower device and waits until it has
 * finished. IRQL: PASSIVE_LEVEL (building the IRP and waiting both require it). The I/O manager
 * owns and frees the IRP; the URB block is this routine's and is freed only once the request has
 * completed.
 */
NTSTATUS UmfSendStartVendorRequest(PUMF_DEVICE_EXTENSION DeviceExtension)
{
  struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST *urb;
  PIO_STACK_LOCATION next;
  IO_STATUS_BLOCK ioStatus;
  KEVENT done;
  PIRP irp;
  NTSTATUS status;

  urb = (struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST *)ExAllocatePoolWithTag(
      NonPagedPoolNx, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), UMF_POOL_TAG);
  if (urb == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }

  /* Direction out and no short-transfer flag: TransferFlags stays 0, as do all buffer fields. */
  RtlZeroMemory(urb, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
  urb->Hdr.Length = (USHORT)sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
  urb->Hdr.Function = URB_FUNCTION_VENDOR_DEVICE;
  urb->RequestTypeReservedBits = UMF_VENDOR_REQUEST_TYPE;
  urb->Request = UMF_START_VENDOR_REQUEST;
  urb->Value = 0;
  urb->Index = 0;

  KeInitializeEvent(&done, NotificationEvent, FALSE);
  RtlZeroMemory(&ioStatus, sizeof(ioStatus));

  irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, DeviceExtension->LowerDevice,
                                      /* InputBuffer */ NULL, 0, /* OutputBuffer */ NULL, 0,
                                      /* InternalDeviceIoControl */ TRUE, &done, &ioStatus);
  if (irp == NULL) {
    status = STATUS_INSUFFICIENT_RESOURCES;
  } else {
    next = IoGetNextIrpStackLocation(irp);
    next->Parameters.Others.Argument1 = urb;

    status = IoCallDriver(DeviceExtension->LowerDevice, irp);
    if (status == STATUS_PENDING) {
      KeWaitForSingleObject(&done, Executive, KernelMode, /* Alertable */ FALSE,
                            /* Timeout */ NULL);
      status = ioStatus.Status;
    }
  }

  ExFreePoolWithTag(urb, UMF_POOL_TAG);
  return status;
}
