/*
 * USB request blocks for the host build of kernel-mode code: the header and the vendor/class
 * control request, laid out as the USB driver stack publishes them (0x88 bytes on x64).
 */
#ifndef VANTREL_KERNEL_USB_H
#define VANTREL_KERNEL_USB_H

#include <wdm.h>

typedef LONG USBD_STATUS;

#define URB_FUNCTION_VENDOR_DEVICE 0x0017
#define URB_FUNCTION_VENDOR_INTERFACE 0x0018
#define URB_FUNCTION_CLASS_DEVICE 0x001A

#define USBD_TRANSFER_DIRECTION_OUT 0
#define USBD_TRANSFER_DIRECTION_IN 1
#define USBD_SHORT_TRANSFER_OK 0x00000002

struct _URB;

struct _URB_HEADER {
  USHORT Length;
  USHORT Function;
  USBD_STATUS Status;
  PVOID UsbdDeviceHandle;
  ULONG UsbdFlags;
};

/* Reserved for the host controller driver. */
struct _URB_HCD_AREA {
  PVOID Reserved8[8];
};

struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST {
  struct _URB_HEADER Hdr;
  PVOID Reserved;
  ULONG TransferFlags;
  ULONG TransferBufferLength;
  PVOID TransferBuffer;
  PMDL TransferBufferMDL;
  struct _URB *UrbLink;
  struct _URB_HCD_AREA hca;
  UCHAR RequestTypeReservedBits;
  UCHAR Request;
  USHORT Value;
  USHORT Index;
  USHORT Reserved1;
};

typedef struct _URB {
  union {
    struct _URB_HEADER UrbHeader;
    struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST UrbControlVendorClassRequest;
  };
} URB, *PURB;

#endif /* VANTREL_KERNEL_USB_H */
