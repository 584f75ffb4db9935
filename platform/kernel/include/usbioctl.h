/*
 * Internal I/O control codes of the USB driver stack, for the host build of kernel-mode code.
 */
#ifndef VANTREL_KERNEL_USBIOCTL_H
#define VANTREL_KERNEL_USBIOCTL_H

#include <wdm.h>

#define FILE_DEVICE_USB FILE_DEVICE_UNKNOWN
#define USB_SUBMIT_URB 0

/* Parameters.Others.Argument1 of the next stack location carries the URB. */
#define IOCTL_INTERNAL_USB_SUBMIT_URB                                                             \
  CTL_CODE(FILE_DEVICE_USB, USB_SUBMIT_URB, METHOD_NEITHER, FILE_ANY_ACCESS)

#endif /* VANTREL_KERNEL_USBIOCTL_H */
