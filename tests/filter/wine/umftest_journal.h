/*
 * What the Wine kernel fixtures and the programs that drive them share: the bus's control device,
 * its I/O control codes, how the child is told to answer, and the journal of everything the
 * child and the test function driver saw.
 *
 * Included by the kernel fixtures (after <wdm.h>) and by the user-mode programs (after
 * <windows.h> and <winioctl.h>); it uses only types both sides have.
 */
#ifndef UMFTEST_JOURNAL_H
#define UMFTEST_JOURNAL_H

/* The child's identity, as the DAC's USB stack reports it. */
#define UMFTEST_DEVICE_ID L"USB\\VID_F1E5&PID_7A11&REV_0102"
#define UMFTEST_INSTANCE_ID L"UMFTEST0"
#define UMFTEST_HARDWARE_IDS L"USB\\VID_F1E5&PID_7A11&REV_0102\0USB\\VID_F1E5&PID_7A11\0"
#define UMFTEST_COMPATIBLE_IDS L"USB\\Class_FF&SubClass_00&Prot_00\0USB\\Class_FF\0"

/* The root-enumerated bus: its devnode and hardware ID, and its control device. */
#define UMFTEST_BUS_INSTANCE L"ROOT\\UMFTESTBUS\\0000"
#define UMFTEST_BUS_HARDWARE_ID L"root\\umftestbus"
#define UMFTEST_CONTROL_NAME L"\\Device\\UmfTestBus"
#define UMFTEST_CONTROL_LINK L"\\DosDevices\\UmfTestBus"
#define UMFTEST_CONTROL_PATH L"\\\\.\\UmfTestBus"

/* Services: the bus, the test function driver and the filter under test. */
#define UMFTEST_BUS_SERVICE L"umftestbus"
#define UMFTEST_FUNCTION_SERVICE L"umftestfn"
#define UMFTEST_FILTER_SERVICE L"usbmodeflt"

#define UMFTEST_DEVICE_TYPE 0x8A5Eu
#define UMFTEST_CTL(function, method) \
  (((UMFTEST_DEVICE_TYPE) << 16) | ((function) << 2) | (method))

/* DeviceIoControl on the control device. PLUG takes a UMFTEST_BEHAVIOUR, READ_JOURNAL fills a
 * UMFTEST_JOURNAL. */
#define IOCTL_UMFTEST_PLUG UMFTEST_CTL(0x800u, 0u /* METHOD_BUFFERED */)
#define IOCTL_UMFTEST_UNPLUG UMFTEST_CTL(0x801u, 0u)
#define IOCTL_UMFTEST_READ_JOURNAL UMFTEST_CTL(0x802u, 0u)
/* Internal, from the test function driver: Parameters.Others.Argument1 is a UMFTEST_RECORD. */
#define IOCTL_UMFTEST_NOTE UMFTEST_CTL(0x803u, 3u /* METHOD_NEITHER */)

/* How the child completes a request. */
#define UMFTEST_COMPLETE_NOW 0u
#define UMFTEST_COMPLETE_LATER 1u /* pended, completed from another thread after DelayMs */

typedef struct _UMFTEST_BEHAVIOUR {
  unsigned long StartMode;
  long StartStatus;
  unsigned long UrbMode;
  long UrbStatus;        /* the IRP's status */
  unsigned long UrbUsbdStatus; /* the URB header's status */
  unsigned long DelayMs;
} UMFTEST_BEHAVIOUR;

/* Journal events. PDO_* are the child's, FN_* the test function driver's. */
#define UMFTEST_PDO_PNP 1u           /* Minor; for a start, Names: the drivers above the PDO */
#define UMFTEST_PDO_PNP_DONE 2u      /* Minor, Status: how the child completed it */
#define UMFTEST_PDO_POWER 3u         /* Minor */
#define UMFTEST_PDO_URB 4u           /* the URB's fields */
#define UMFTEST_PDO_URB_DONE 5u      /* Status */
#define UMFTEST_PDO_OTHER_IOCTL 6u   /* Code: an internal request that was not a URB */
#define UMFTEST_PDO_DELETED 7u
#define UMFTEST_FN_ADD_DEVICE 8u     /* Status: the filters' AddDevice; Names: the stack;
                                        Code: where LowerFilters was found */
#define UMFTEST_FN_START_DONE 9u     /* Status: the start as the function driver saw it */
#define UMFTEST_FN_REMOVE_DONE 10u   /* Status: from below; Count: filter devices left */
#define UMFTEST_FN_SURPRISE_DONE 11u /* Status: from below */

/* Where the test function driver found the devnode's LowerFilters. */
#define UMFTEST_FILTERS_NONE 0u
#define UMFTEST_FILTERS_INSTANCE_KEY 1u
#define UMFTEST_FILTERS_DEVICE_PARAMETERS 2u

#define UMFTEST_NAME_CHARS 32
#define UMFTEST_JOURNAL_CAPACITY 512

/* Bits of UrbBuffers: which buffer members of the URB were not NULL. */
#define UMFTEST_URB_HAS_BUFFER 0x1u
#define UMFTEST_URB_HAS_MDL 0x2u
#define UMFTEST_URB_HAS_LINK 0x4u

typedef struct _UMFTEST_RECORD {
  unsigned long Sequence; /* set by the bus, in arrival order */
  unsigned long Plug;     /* the plug-in that the child was in (1, 2, ...) */
  unsigned long Event;
  unsigned long Minor;
  long Status;
  unsigned long Code;
  unsigned long Count;
  unsigned short UrbLength;
  unsigned short UrbFunction;
  unsigned char UrbRequestTypeBits;
  unsigned char UrbRequest;
  unsigned short UrbValue;
  unsigned short UrbIndex;
  unsigned long UrbTransferFlags;
  unsigned long UrbTransferBufferLength;
  unsigned long UrbBuffers;
  /* Names[0]: the driver just above the PDO, Names[1]: the one above that, Names[2]: the one
   * the function driver attached to. Empty when there is none. */
  wchar_t Names[3][UMFTEST_NAME_CHARS];
} UMFTEST_RECORD;

typedef struct _UMFTEST_JOURNAL {
  unsigned long Count;
  unsigned long Lost; /* records that did not fit */
  UMFTEST_RECORD Records[UMFTEST_JOURNAL_CAPACITY];
} UMFTEST_JOURNAL;

#endif /* UMFTEST_JOURNAL_H */
