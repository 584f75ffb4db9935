/*
 * umftestbus: a root-enumerated bus driver that plays the USB hub for usbmodeflt under Wine's
 * kernel. It exposes at most one child PDO with the DAC's hardware ID, answers PnP and power as a
 * bus driver does, and writes every request the child receives into a journal that user mode
 * reads through the control device. User mode also says how the child answers its start request
 * and URBs: at once or later from another thread, with success or failure.
 *
 * Three kinds of device object belong to this driver: the bus FDO on the root PDO, the child PDO,
 * and the named control device. Everything they share is in one record guarded by one spin lock;
 * there is only ever one bus instance.
 */
#include <wdm.h>
#include <usb.h>
#include <usbioctl.h>

#include "umftest_kernel.h"

#define UMFTEST_TAG ((ULONG)'U' | ((ULONG)'m' << 8) | ((ULONG)'f' << 16) | ((ULONG)'B' << 24))

typedef enum _UMFTEST_KIND { UmfTestBusFdo = 1, UmfTestChildPdo, UmfTestControl } UMFTEST_KIND;

typedef struct _UMFTEST_EXTENSION {
  UMFTEST_KIND Kind;
  PDEVICE_OBJECT LowerDevice; /* bus FDO only */
} UMFTEST_EXTENSION, *PUMFTEST_EXTENSION;

typedef struct _UMFTEST_BUS {
  KSPIN_LOCK Lock;
  PDEVICE_OBJECT Fdo;
  PDEVICE_OBJECT RootPdo;
  PDEVICE_OBJECT Control;
  PDEVICE_OBJECT Child;
  BOOLEAN ChildPresent;
  ULONG Plug;
  UMFTEST_BEHAVIOUR Behaviour;
  ULONG NextSequence;
  UMFTEST_JOURNAL Journal;
} UMFTEST_BUS;

/* Zero-initialised by the loader; DriverEntry initialises the lock. */
static UMFTEST_BUS Bus;

/* A request that the child pended, completed by a system thread. */
typedef struct _UMFTEST_LATER {
  PIRP Irp;
  ULONG DelayMs;
  NTSTATUS Status;
  ULONG UsbdStatus;
  BOOLEAN IsUrb;
  UCHAR Minor;
} UMFTEST_LATER, *PUMFTEST_LATER;

DRIVER_INITIALIZE DriverEntry;
static DRIVER_ADD_DEVICE UmfTestAddDevice;
static DRIVER_UNLOAD UmfTestUnload;
static DRIVER_DISPATCH UmfTestDispatch;

/* Appends a record, stamping its sequence number and the current plug-in. Any IRQL <= DISPATCH. */
static void UmfTestNote(const UMFTEST_RECORD *record)
{
  KIRQL irql;

  KeAcquireSpinLock(&Bus.Lock, &irql);
  if (Bus.Journal.Count < UMFTEST_JOURNAL_CAPACITY) {
    UMFTEST_RECORD *slot = &Bus.Journal.Records[Bus.Journal.Count++];
    *slot = *record;
    slot->Sequence = ++Bus.NextSequence;
    slot->Plug = Bus.Plug;
  } else {
    Bus.Journal.Lost++;
  }
  KeReleaseSpinLock(&Bus.Lock, irql);
}

static void UmfTestNoteEvent(ULONG event, ULONG minor, NTSTATUS status)
{
  UMFTEST_RECORD record;

  RtlZeroMemory(&record, sizeof(record));
  record.Event = event;
  record.Minor = minor;
  record.Status = status;
  UmfTestNote(&record);
}

/* Completes a request of the child's and journals how. */
static void UmfTestCompleteChild(PIRP Irp, BOOLEAN isUrb, UCHAR minor, NTSTATUS status)
{
  Irp->IoStatus.Status = status;
  UmfTestNoteEvent(isUrb ? UMFTEST_PDO_URB_DONE : UMFTEST_PDO_PNP_DONE, minor, status);
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

static VOID NTAPI UmfTestLaterThread(PVOID context)
{
  PUMFTEST_LATER later = (PUMFTEST_LATER)context;
  LARGE_INTEGER delay;

  delay.QuadPart = -(LONGLONG)later->DelayMs * 10000;
  KeDelayExecutionThread(KernelMode, FALSE, &delay);
  if (later->IsUrb) {
    PURB urb = (PURB)IoGetCurrentIrpStackLocation(later->Irp)->Parameters.Others.Argument1;
    urb->UrbHeader.Status = later->UsbdStatus;
  }
  UmfTestCompleteChild(later->Irp, later->IsUrb, later->Minor, later->Status);
  ExFreePoolWithTag(later, UMFTEST_TAG);
  PsTerminateSystemThread(STATUS_SUCCESS);
}

/* Pends the IRP and has a new system thread complete it after the delay. If no thread can be
 * made the request is completed at once with the same status, and the journal says so. */
static NTSTATUS UmfTestCompleteLater(PIRP Irp, BOOLEAN isUrb, UCHAR minor, NTSTATUS status,
                                     ULONG usbdStatus, ULONG delayMs)
{
  PUMFTEST_LATER later;
  HANDLE thread;
  NTSTATUS created;

  later = (PUMFTEST_LATER)ExAllocatePoolWithTag(NonPagedPool, sizeof(*later), UMFTEST_TAG);
  if (later == NULL) {
    UmfTestCompleteChild(Irp, isUrb, minor, STATUS_INSUFFICIENT_RESOURCES);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  later->Irp = Irp;
  later->DelayMs = delayMs;
  later->Status = status;
  later->UsbdStatus = usbdStatus;
  later->IsUrb = isUrb;
  later->Minor = minor;

  IoMarkIrpPending(Irp);
  created = PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, /* ObjectAttributes */ NULL,
                                 /* ProcessHandle */ NULL, /* ClientId */ NULL, UmfTestLaterThread,
                                 later);
  if (!NT_SUCCESS(created)) {
    ExFreePoolWithTag(later, UMFTEST_TAG);
    UmfTestCompleteChild(Irp, isUrb, minor, created);
    return STATUS_PENDING;
  }
  ZwClose(thread);
  return STATUS_PENDING;
}

/* Pool-allocated copy of a (multi-)string for IRP_MN_QUERY_ID; the PnP manager frees it. */
static NTSTATUS UmfTestAnswerId(PIRP Irp, const WCHAR *text, SIZE_T bytes)
{
  WCHAR *copy = (WCHAR *)ExAllocatePoolWithTag(PagedPool, bytes, UMFTEST_TAG);

  if (copy == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlCopyMemory(copy, text, bytes);
  Irp->IoStatus.Information = (ULONG_PTR)copy;
  return STATUS_SUCCESS;
}

static NTSTATUS UmfTestChildQueryId(PIRP Irp, BUS_QUERY_ID_TYPE type)
{
  static const WCHAR deviceId[] = UMFTEST_DEVICE_ID;
  static const WCHAR instanceId[] = UMFTEST_INSTANCE_ID;
  static const WCHAR hardwareIds[] = UMFTEST_HARDWARE_IDS;
  static const WCHAR compatibleIds[] = UMFTEST_COMPATIBLE_IDS;

  switch (type) {
  case BusQueryDeviceID:
    return UmfTestAnswerId(Irp, deviceId, sizeof(deviceId));
  case BusQueryInstanceID:
    return UmfTestAnswerId(Irp, instanceId, sizeof(instanceId));
  case BusQueryHardwareIDs:
    return UmfTestAnswerId(Irp, hardwareIds, sizeof(hardwareIds));
  case BusQueryCompatibleIDs:
    return UmfTestAnswerId(Irp, compatibleIds, sizeof(compatibleIds));
  default:
    return Irp->IoStatus.Status;
  }
}

/*
 * The child's PnP requests: it is the bottom of its stack, so it completes every one. IRQL:
 * PASSIVE_LEVEL. A start is answered as user mode asked; removal deletes the PDO once the bus no
 * longer reports it.
 */
static NTSTATUS UmfTestChildPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  UCHAR minor = stack->MinorFunction;
  UMFTEST_BEHAVIOUR behaviour;
  UMFTEST_RECORD record;
  NTSTATUS status = Irp->IoStatus.Status;
  BOOLEAN deleteChild = FALSE;
  KIRQL irql;

  RtlZeroMemory(&record, sizeof(record));
  record.Event = UMFTEST_PDO_PNP;
  record.Minor = minor;
  if (minor == IRP_MN_START_DEVICE) {
    UmfTestCopyName(record.Names[0], DeviceObject->AttachedDevice);
    if (DeviceObject->AttachedDevice != NULL) {
      UmfTestCopyName(record.Names[1], DeviceObject->AttachedDevice->AttachedDevice);
    }
  }
  UmfTestNote(&record);

  KeAcquireSpinLock(&Bus.Lock, &irql);
  behaviour = Bus.Behaviour;
  KeReleaseSpinLock(&Bus.Lock, irql);

  switch (minor) {
  case IRP_MN_START_DEVICE:
    if (behaviour.StartMode == UMFTEST_COMPLETE_LATER) {
      return UmfTestCompleteLater(Irp, FALSE, minor, behaviour.StartStatus, 0, behaviour.DelayMs);
    }
    status = behaviour.StartStatus;
    break;

  case IRP_MN_QUERY_ID:
    status = UmfTestChildQueryId(Irp, stack->Parameters.QueryId.IdType);
    break;

  case IRP_MN_QUERY_CAPABILITIES: {
    PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
    caps->Removable = TRUE;
    caps->SurpriseRemovalOK = TRUE;
    caps->UniqueID = FALSE;
    caps->Address = 1;
    caps->UINumber = 1;
    caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
    status = STATUS_SUCCESS;
    break;
  }

  case IRP_MN_QUERY_DEVICE_RELATIONS:
    if (stack->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
      PDEVICE_RELATIONS relations = (PDEVICE_RELATIONS)ExAllocatePoolWithTag(
          PagedPool, sizeof(DEVICE_RELATIONS), UMFTEST_TAG);
      if (relations == NULL) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        break;
      }
      ObReferenceObject(DeviceObject);
      relations->Count = 1;
      relations->Objects[0] = DeviceObject;
      Irp->IoStatus.Information = (ULONG_PTR)relations;
      status = STATUS_SUCCESS;
    }
    break;

  case IRP_MN_QUERY_STOP_DEVICE:
  case IRP_MN_CANCEL_STOP_DEVICE:
  case IRP_MN_STOP_DEVICE:
  case IRP_MN_QUERY_REMOVE_DEVICE:
  case IRP_MN_CANCEL_REMOVE_DEVICE:
  case IRP_MN_SURPRISE_REMOVAL:
    status = STATUS_SUCCESS;
    break;

  case IRP_MN_REMOVE_DEVICE:
    status = STATUS_SUCCESS;
    KeAcquireSpinLock(&Bus.Lock, &irql);
    if (!Bus.ChildPresent && Bus.Child == DeviceObject) {
      Bus.Child = NULL;
      deleteChild = TRUE;
    }
    KeReleaseSpinLock(&Bus.Lock, irql);
    break;

  default:
    /* Not a bus driver's to answer: the status the request came with stays. */
    break;
  }

  UmfTestCompleteChild(Irp, FALSE, minor, status);
  if (deleteChild) {
    UmfTestNoteEvent(UMFTEST_PDO_DELETED, 0, STATUS_SUCCESS);
    IoDeleteDevice(DeviceObject);
  }
  return status;
}

/* The child's URBs: journalled field by field, then answered as user mode asked. */
static NTSTATUS UmfTestChildInternalIoctl(PIRP Irp)
{
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  UMFTEST_BEHAVIOUR behaviour;
  UMFTEST_RECORD record;
  PURB urb;
  KIRQL irql;

  RtlZeroMemory(&record, sizeof(record));
  if (code != IOCTL_INTERNAL_USB_SUBMIT_URB) {
    record.Event = UMFTEST_PDO_OTHER_IOCTL;
    record.Code = code;
    UmfTestNote(&record);
    UmfTestCompleteChild(Irp, TRUE, 0, STATUS_NOT_SUPPORTED);
    return STATUS_NOT_SUPPORTED;
  }

  urb = (PURB)stack->Parameters.Others.Argument1;
  record.Event = UMFTEST_PDO_URB;
  record.Code = code;
  if (urb == NULL) {
    UmfTestNote(&record);
    UmfTestCompleteChild(Irp, TRUE, 0, STATUS_INVALID_PARAMETER);
    return STATUS_INVALID_PARAMETER;
  }
  record.UrbLength = urb->UrbHeader.Length;
  record.UrbFunction = urb->UrbHeader.Function;
  if (urb->UrbHeader.Function == URB_FUNCTION_VENDOR_DEVICE ||
      urb->UrbHeader.Function == URB_FUNCTION_VENDOR_INTERFACE ||
      urb->UrbHeader.Function == URB_FUNCTION_VENDOR_ENDPOINT ||
      urb->UrbHeader.Function == URB_FUNCTION_CLASS_DEVICE) {
    struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST *vendor = &urb->UrbControlVendorClassRequest;
    record.UrbRequestTypeBits = vendor->RequestTypeReservedBits;
    record.UrbRequest = vendor->Request;
    record.UrbValue = vendor->Value;
    record.UrbIndex = vendor->Index;
    record.UrbTransferFlags = vendor->TransferFlags;
    record.UrbTransferBufferLength = vendor->TransferBufferLength;
    record.UrbBuffers = (vendor->TransferBuffer != NULL ? UMFTEST_URB_HAS_BUFFER : 0) |
                        (vendor->TransferBufferMDL != NULL ? UMFTEST_URB_HAS_MDL : 0) |
                        (vendor->UrbLink != NULL ? UMFTEST_URB_HAS_LINK : 0);
  }
  UmfTestNote(&record);

  KeAcquireSpinLock(&Bus.Lock, &irql);
  behaviour = Bus.Behaviour;
  KeReleaseSpinLock(&Bus.Lock, irql);

  if (behaviour.UrbMode == UMFTEST_COMPLETE_LATER) {
    return UmfTestCompleteLater(Irp, TRUE, 0, behaviour.UrbStatus, behaviour.UrbUsbdStatus,
                                behaviour.DelayMs);
  }
  urb->UrbHeader.Status = behaviour.UrbUsbdStatus;
  UmfTestCompleteChild(Irp, TRUE, 0, behaviour.UrbStatus);
  return behaviour.UrbStatus;
}

static NTSTATUS UmfTestChildPower(PIRP Irp)
{
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  NTSTATUS status = Irp->IoStatus.Status;

  UmfTestNoteEvent(UMFTEST_PDO_POWER, stack->MinorFunction, STATUS_SUCCESS);
  PoStartNextPowerIrp(Irp);
  if (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER) {
    status = STATUS_SUCCESS;
  }
  Irp->IoStatus.Status = status;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return status;
}

/* Makes the child PDO on PLUG. IRQL: PASSIVE_LEVEL. */
static NTSTATUS UmfTestPlug(const UMFTEST_BEHAVIOUR *behaviour)
{
  PDEVICE_OBJECT child;
  PUMFTEST_EXTENSION extension;
  NTSTATUS status;
  KIRQL irql;

  status = IoCreateDevice(Bus.Control->DriverObject, sizeof(UMFTEST_EXTENSION), /* Name */ NULL,
                          FILE_DEVICE_UNKNOWN, FILE_AUTOGENERATED_DEVICE_NAME,
                          /* Exclusive */ FALSE, &child);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  extension = (PUMFTEST_EXTENSION)child->DeviceExtension;
  RtlZeroMemory(extension, sizeof(*extension));
  extension->Kind = UmfTestChildPdo;
  child->Flags |= DO_POWER_PAGABLE;

  KeAcquireSpinLock(&Bus.Lock, &irql);
  if (Bus.Child != NULL || Bus.RootPdo == NULL) {
    KeReleaseSpinLock(&Bus.Lock, irql);
    IoDeleteDevice(child);
    return STATUS_DEVICE_BUSY;
  }
  Bus.Child = child;
  Bus.ChildPresent = TRUE;
  Bus.Behaviour = *behaviour;
  Bus.Plug++;
  KeReleaseSpinLock(&Bus.Lock, irql);

  child->Flags &= ~(ULONG)DO_DEVICE_INITIALIZING;
  IoInvalidateDeviceRelations(Bus.RootPdo, BusRelations);
  return STATUS_SUCCESS;
}

static NTSTATUS UmfTestUnplug(void)
{
  BOOLEAN present;
  KIRQL irql;

  KeAcquireSpinLock(&Bus.Lock, &irql);
  present = Bus.ChildPresent;
  Bus.ChildPresent = FALSE;
  KeReleaseSpinLock(&Bus.Lock, irql);
  if (!present) {
    return STATUS_NO_SUCH_DEVICE;
  }
  IoInvalidateDeviceRelations(Bus.RootPdo, BusRelations);
  return STATUS_SUCCESS;
}

/* Requests to the control device: from user mode, and the function driver's notes. */
static NTSTATUS UmfTestControlDispatch(PIRP Irp)
{
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;
  ULONG_PTR information = 0;
  KIRQL irql;

  switch (stack->MajorFunction) {
  case IRP_MJ_CREATE:
  case IRP_MJ_CLOSE:
  case IRP_MJ_CLEANUP:
    status = STATUS_SUCCESS;
    break;

  case IRP_MJ_DEVICE_CONTROL:
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_UMFTEST_PLUG:
      if (stack->Parameters.DeviceIoControl.InputBufferLength != sizeof(UMFTEST_BEHAVIOUR)) {
        status = STATUS_INVALID_PARAMETER;
      } else {
        status = UmfTestPlug((const UMFTEST_BEHAVIOUR *)Irp->AssociatedIrp.SystemBuffer);
      }
      break;
    case IOCTL_UMFTEST_UNPLUG:
      status = UmfTestUnplug();
      break;
    case IOCTL_UMFTEST_READ_JOURNAL:
      if (stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(UMFTEST_JOURNAL)) {
        status = STATUS_BUFFER_TOO_SMALL;
      } else {
        KeAcquireSpinLock(&Bus.Lock, &irql);
        RtlCopyMemory(Irp->AssociatedIrp.SystemBuffer, &Bus.Journal, sizeof(UMFTEST_JOURNAL));
        KeReleaseSpinLock(&Bus.Lock, irql);
        information = sizeof(UMFTEST_JOURNAL);
        status = STATUS_SUCCESS;
      }
      break;
    default:
      break;
    }
    break;

  case IRP_MJ_INTERNAL_DEVICE_CONTROL:
    if (stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_UMFTEST_NOTE &&
        stack->Parameters.Others.Argument1 != NULL) {
      UmfTestNote((const UMFTEST_RECORD *)stack->Parameters.Others.Argument1);
      status = STATUS_SUCCESS;
    } else {
      status = STATUS_INVALID_PARAMETER;
    }
    break;

  default:
    break;
  }

  Irp->IoStatus.Status = status;
  Irp->IoStatus.Information = information;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return status;
}

static NTSTATUS NTAPI UmfTestSignal(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(Irp);
  KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

/* Hands a request to the root PDO and waits for it; the caller completes it. */
static NTSTATUS UmfTestForwardAndWait(PDEVICE_OBJECT lower, PIRP Irp)
{
  KEVENT done;
  NTSTATUS status;

  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(Irp, UmfTestSignal, &done, TRUE, TRUE, TRUE);
  status = IoCallDriver(lower, Irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    status = Irp->IoStatus.Status;
  }
  return status;
}

/* The bus FDO's PnP requests: reports the child, and takes the child and the control device
 * away with it on removal. IRQL: PASSIVE_LEVEL. */
static NTSTATUS UmfTestBusPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
  PUMFTEST_EXTENSION extension = (PUMFTEST_EXTENSION)DeviceObject->DeviceExtension;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  PDEVICE_OBJECT lower = extension->LowerDevice;
  PDEVICE_OBJECT child = NULL;
  UNICODE_STRING link;
  NTSTATUS status;
  KIRQL irql;

  switch (stack->MinorFunction) {
  case IRP_MN_START_DEVICE:
    status = UmfTestForwardAndWait(lower, Irp);
    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;

  case IRP_MN_QUERY_DEVICE_RELATIONS:
    if (stack->Parameters.QueryDeviceRelations.Type == BusRelations) {
      PDEVICE_RELATIONS relations = (PDEVICE_RELATIONS)ExAllocatePoolWithTag(
          PagedPool, sizeof(DEVICE_RELATIONS), UMFTEST_TAG);
      if (relations == NULL) {
        Irp->IoStatus.Status = STATUS_INSUFFICIENT_RESOURCES;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_INSUFFICIENT_RESOURCES;
      }
      relations->Count = 0;
      KeAcquireSpinLock(&Bus.Lock, &irql);
      if (Bus.Child != NULL && Bus.ChildPresent) {
        ObReferenceObject(Bus.Child);
        relations->Objects[relations->Count++] = Bus.Child;
      }
      KeReleaseSpinLock(&Bus.Lock, irql);
      Irp->IoStatus.Information = (ULONG_PTR)relations;
      Irp->IoStatus.Status = STATUS_SUCCESS;
    }
    break;

  case IRP_MN_REMOVE_DEVICE:
    KeAcquireSpinLock(&Bus.Lock, &irql);
    child = Bus.Child;
    Bus.Child = NULL;
    Bus.ChildPresent = FALSE;
    Bus.RootPdo = NULL;
    KeReleaseSpinLock(&Bus.Lock, irql);
    if (child != NULL) {
      UmfTestNoteEvent(UMFTEST_PDO_DELETED, 0, STATUS_SUCCESS);
      IoDeleteDevice(child);
    }
    RtlInitUnicodeString(&link, UMFTEST_CONTROL_LINK);
    IoDeleteSymbolicLink(&link);
    if (Bus.Control != NULL) {
      IoDeleteDevice(Bus.Control);
      Bus.Control = NULL;
    }
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IoSkipCurrentIrpStackLocation(Irp);
    status = IoCallDriver(lower, Irp);
    IoDetachDevice(lower);
    IoDeleteDevice(DeviceObject);
    Bus.Fdo = NULL;
    return status;

  default:
    break;
  }

  IoSkipCurrentIrpStackLocation(Irp);
  return IoCallDriver(lower, Irp);
}

/* Every major function of every device object of this driver, by the kind of device object.
 * The child completes what it gets; the bus FDO passes down what it does not handle. */
static NTSTATUS NTAPI UmfTestDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
  PUMFTEST_EXTENSION extension = (PUMFTEST_EXTENSION)DeviceObject->DeviceExtension;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  NTSTATUS status;

  switch (extension->Kind) {
  case UmfTestControl:
    return UmfTestControlDispatch(Irp);

  case UmfTestChildPdo:
    switch (stack->MajorFunction) {
    case IRP_MJ_PNP:
      return UmfTestChildPnp(DeviceObject, Irp);
    case IRP_MJ_POWER:
      return UmfTestChildPower(Irp);
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
      return UmfTestChildInternalIoctl(Irp);
    default:
      status = Irp->IoStatus.Status;
      IoCompleteRequest(Irp, IO_NO_INCREMENT);
      return status;
    }

  case UmfTestBusFdo:
    if (stack->MajorFunction == IRP_MJ_PNP) {
      return UmfTestBusPnp(DeviceObject, Irp);
    }
    if (stack->MajorFunction == IRP_MJ_POWER) {
      PoStartNextPowerIrp(Irp);
      IoSkipCurrentIrpStackLocation(Irp);
      return PoCallDriver(extension->LowerDevice, Irp);
    }
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(extension->LowerDevice, Irp);

  default:
    status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
  }
}

/* Attaches the bus FDO to the root PDO and makes the control device. IRQL: PASSIVE_LEVEL. */
static NTSTATUS NTAPI UmfTestAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT Pdo)
{
  PDEVICE_OBJECT fdo = NULL, control = NULL;
  PUMFTEST_EXTENSION extension;
  UNICODE_STRING name, link;
  NTSTATUS status;

  if (Bus.Fdo != NULL) {
    return STATUS_DEVICE_BUSY;
  }

  RtlInitUnicodeString(&name, UMFTEST_CONTROL_NAME);
  /* Its type is how the test function driver finds it. */
  status = IoCreateDevice(DriverObject, sizeof(UMFTEST_EXTENSION), &name, UMFTEST_DEVICE_TYPE,
                          FILE_DEVICE_SECURE_OPEN, FALSE, &control);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  extension = (PUMFTEST_EXTENSION)control->DeviceExtension;
  RtlZeroMemory(extension, sizeof(*extension));
  extension->Kind = UmfTestControl;

  RtlInitUnicodeString(&link, UMFTEST_CONTROL_LINK);
  status = IoCreateSymbolicLink(&link, &name);
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(control);
    return status;
  }

  status = IoCreateDevice(DriverObject, sizeof(UMFTEST_EXTENSION), NULL, FILE_DEVICE_BUS_EXTENDER,
                          FILE_DEVICE_SECURE_OPEN, FALSE, &fdo);
  if (!NT_SUCCESS(status)) {
    IoDeleteSymbolicLink(&link);
    IoDeleteDevice(control);
    return status;
  }
  extension = (PUMFTEST_EXTENSION)fdo->DeviceExtension;
  RtlZeroMemory(extension, sizeof(*extension));
  extension->Kind = UmfTestBusFdo;
  extension->LowerDevice = IoAttachDeviceToDeviceStack(fdo, Pdo);
  if (extension->LowerDevice == NULL) {
    IoDeleteDevice(fdo);
    IoDeleteSymbolicLink(&link);
    IoDeleteDevice(control);
    return STATUS_NO_SUCH_DEVICE;
  }

  Bus.Fdo = fdo;
  Bus.RootPdo = Pdo;
  Bus.Control = control;
  control->Flags &= ~(ULONG)DO_DEVICE_INITIALIZING;
  fdo->Flags &= ~(ULONG)DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

static VOID NTAPI UmfTestUnload(PDRIVER_OBJECT DriverObject)
{
  UNREFERENCED_PARAMETER(DriverObject);
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
  ULONG major;

  UNREFERENCED_PARAMETER(RegistryPath);

  KeInitializeSpinLock(&Bus.Lock);
  for (major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; major++) {
    DriverObject->MajorFunction[major] = UmfTestDispatch;
  }
  DriverObject->DriverExtension->AddDevice = UmfTestAddDevice;
  DriverObject->DriverUnload = UmfTestUnload;
  return STATUS_SUCCESS;
}
