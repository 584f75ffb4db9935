/*
 * umftestfn: the function driver of the test bus's child. Wine's PnP manager loads only a
 * device's own service and calls its AddDevice; it never loads the devnode's LowerFilters. So
 * this driver's AddDevice first does for the lower filters what the Windows PnP manager does:
 * it reads LowerFilters from the devnode, loads each filter with ZwLoadDriver and calls its
 * AddDevice on the PDO, and only then attaches itself, giving the Windows stack order
 * function driver > usbmodeflt > PDO.
 *
 * Otherwise it is a plain function driver that passes everything down. It tells the bus's journal
 * how its start ended and what it saw of removal, so the test can tell what reached the top.
 */
#include <wdm.h>

#include "umftest_kernel.h"

#define UMFTEST_TAG ((ULONG)'U' | ((ULONG)'m' << 8) | ((ULONG)'f' << 16) | ((ULONG)'F' << 24))

/* Exported by the kernel, declared only in the IFS kit's headers. */
NTKERNELAPI NTSTATUS NTAPI ObReferenceObjectByName(PUNICODE_STRING ObjectName, ULONG Attributes,
                                                   PACCESS_STATE PassedAccessState,
                                                   ACCESS_MASK DesiredAccess,
                                                   POBJECT_TYPE ObjectType,
                                                   KPROCESSOR_MODE AccessMode, PVOID ParseContext,
                                                   PVOID *Object);
extern NTKERNELAPI POBJECT_TYPE *IoDriverObjectType;

typedef struct _UMFTEST_FN_EXTENSION {
  PDEVICE_OBJECT LowerDevice;
  PDRIVER_OBJECT FilterDriver; /* the driver just above the PDO, if it is not this one */
  PDEVICE_OBJECT Journal;      /* the bus's control device, referenced */
} UMFTEST_FN_EXTENSION, *PUMFTEST_FN_EXTENSION;

DRIVER_INITIALIZE DriverEntry;

/* Sends a record to the bus's journal and waits for it. IRQL: PASSIVE_LEVEL. */
static void UmfTestFnNote(PDEVICE_OBJECT journal, UMFTEST_RECORD *record)
{
  IO_STATUS_BLOCK ioStatus;
  KEVENT done;
  PIRP irp;

  if (journal == NULL) {
    return;
  }
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  irp = IoBuildDeviceIoControlRequest(IOCTL_UMFTEST_NOTE, journal, NULL, 0, NULL, 0,
                                      /* InternalDeviceIoControl */ TRUE, &done, &ioStatus);
  if (irp == NULL) {
    return;
  }
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = record;
  if (IoCallDriver(journal, irp) == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
  }
}

/* Sends IRP_MN_QUERY_ID to the stack of the PDO; on success *id is pool the caller frees. */
static NTSTATUS UmfTestFnQueryId(PDEVICE_OBJECT Pdo, BUS_QUERY_ID_TYPE type, WCHAR **id)
{
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(Pdo);
  IO_STATUS_BLOCK ioStatus;
  PIO_STACK_LOCATION next;
  KEVENT done;
  NTSTATUS status;
  PIRP irp;

  *id = NULL;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, top, NULL, 0, NULL, &done, &ioStatus);
  if (irp == NULL) {
    ObDereferenceObject(top);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  next = IoGetNextIrpStackLocation(irp);
  next->MinorFunction = IRP_MN_QUERY_ID;
  next->Parameters.QueryId.IdType = type;
  status = IoCallDriver(top, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    status = ioStatus.Status;
  }
  ObDereferenceObject(top);
  if (NT_SUCCESS(status)) {
    *id = (WCHAR *)ioStatus.Information;
    if (*id == NULL) {
      status = STATUS_NOT_FOUND;
    }
  }
  return status;
}

/* Appends a NUL-terminated wide string to a counted string of fixed capacity. */
static NTSTATUS UmfTestFnAppend(UNICODE_STRING *to, const WCHAR *text)
{
  UNICODE_STRING piece;

  RtlInitUnicodeString(&piece, text);
  return RtlAppendUnicodeStringToString(to, &piece);
}

/*
 * Reads the devnode's LowerFilters into the buffer: from the instance key, where Windows keeps it,
 * or else from its Device Parameters subkey, which is where Wine's setupapi puts what an INF's
 * .HW section writes to HKR. *where says which (UMFTEST_FILTERS_*). IRQL: PASSIVE_LEVEL.
 */
static NTSTATUS UmfTestFnReadLowerFilters(UNICODE_STRING *instanceKey, UCHAR *buffer, ULONG size,
                                          ULONG *where)
{
  UNICODE_STRING valueName;
  OBJECT_ATTRIBUTES attributes;
  HANDLE key;
  ULONG length, attempt;
  NTSTATUS status = STATUS_OBJECT_NAME_NOT_FOUND;

  *where = UMFTEST_FILTERS_NONE;
  RtlInitUnicodeString(&valueName, L"LowerFilters");
  for (attempt = 0; attempt < 2 && status == STATUS_OBJECT_NAME_NOT_FOUND; attempt++) {
    if (attempt == 1) {
      status = UmfTestFnAppend(instanceKey, L"\\Device Parameters");
      if (!NT_SUCCESS(status)) {
        return status;
      }
    }
    InitializeObjectAttributes(&attributes, instanceKey, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               NULL, NULL);
    status = ZwOpenKey(&key, KEY_READ, &attributes);
    if (!NT_SUCCESS(status)) {
      continue;
    }
    RtlZeroMemory(buffer, size);
    /* Two characters short of the buffer, which stays zeroed: the list always ends. */
    status = ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, buffer,
                             size - 2 * sizeof(WCHAR), &length);
    ZwClose(key);
    if (NT_SUCCESS(status)) {
      *where = attempt == 0 ? UMFTEST_FILTERS_INSTANCE_KEY : UMFTEST_FILTERS_DEVICE_PARAMETERS;
    }
  }
  return status;
}

/*
 * Loads the devnode's lower filters and has each attach to the PDO, as the Windows PnP manager
 * does before it calls the function driver's AddDevice. IRQL: PASSIVE_LEVEL. A devnode without
 * LowerFilters is not an error; a filter that does not load or whose AddDevice fails is.
 */
static NTSTATUS UmfTestFnAddLowerFilters(PDEVICE_OBJECT Pdo, ULONG *where)
{
  /* Off the small kernel stack; the PnP manager calls AddDevice for one device at a time. */
  static WCHAR path[512];
  static UCHAR valueBuffer[512];
  static WCHAR name[160];
  UNICODE_STRING keyPath, nameString;
  PKEY_VALUE_PARTIAL_INFORMATION value = (PKEY_VALUE_PARTIAL_INFORMATION)valueBuffer;
  WCHAR *deviceId = NULL, *instanceId = NULL;
  const WCHAR *filter, *end;
  PDRIVER_OBJECT driver;
  NTSTATUS status;

  *where = UMFTEST_FILTERS_NONE;
  status = UmfTestFnQueryId(Pdo, BusQueryDeviceID, &deviceId);
  if (NT_SUCCESS(status)) {
    status = UmfTestFnQueryId(Pdo, BusQueryInstanceID, &instanceId);
  }
  if (!NT_SUCCESS(status)) {
    goto done;
  }

  keyPath.Buffer = path;
  keyPath.Length = 0;
  keyPath.MaximumLength = sizeof(path);
  status = UmfTestFnAppend(&keyPath, L"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\");
  if (NT_SUCCESS(status)) {
    status = UmfTestFnAppend(&keyPath, deviceId);
  }
  if (NT_SUCCESS(status)) {
    status = UmfTestFnAppend(&keyPath, L"\\");
  }
  if (NT_SUCCESS(status)) {
    status = UmfTestFnAppend(&keyPath, instanceId);
  }
  if (!NT_SUCCESS(status)) {
    goto done;
  }

  status = UmfTestFnReadLowerFilters(&keyPath, valueBuffer, sizeof(valueBuffer), where);
  if (status == STATUS_OBJECT_NAME_NOT_FOUND) {
    status = STATUS_SUCCESS;
    goto done;
  }
  if (!NT_SUCCESS(status) || value->Type != REG_MULTI_SZ) {
    status = NT_SUCCESS(status) ? STATUS_OBJECT_TYPE_MISMATCH : status;
    goto done;
  }

  end = (const WCHAR *)(value->Data + value->DataLength);
  for (filter = (const WCHAR *)value->Data; filter < end && *filter != L'\0';) {
    nameString.Buffer = name;
    nameString.Length = 0;
    nameString.MaximumLength = sizeof(name);
    status = UmfTestFnAppend(&nameString, L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\");
    if (NT_SUCCESS(status)) {
      status = UmfTestFnAppend(&nameString, filter);
    }
    if (NT_SUCCESS(status)) {
      status = ZwLoadDriver(&nameString);
      if (status == STATUS_IMAGE_ALREADY_LOADED) {
        status = STATUS_SUCCESS;
      }
    }
    if (NT_SUCCESS(status)) {
      nameString.Length = 0;
      status = UmfTestFnAppend(&nameString, L"\\Driver\\");
      if (NT_SUCCESS(status)) {
        status = UmfTestFnAppend(&nameString, filter);
      }
    }
    if (NT_SUCCESS(status)) {
      status = ObReferenceObjectByName(&nameString, OBJ_CASE_INSENSITIVE, NULL, 0,
                                       *IoDriverObjectType, KernelMode, NULL, (PVOID *)&driver);
    }
    if (NT_SUCCESS(status)) {
      status = driver->DriverExtension->AddDevice != NULL
                   ? driver->DriverExtension->AddDevice(driver, Pdo)
                   : STATUS_NOT_IMPLEMENTED;
      ObDereferenceObject(driver);
    }
    if (!NT_SUCCESS(status)) {
      goto done;
    }
    while (filter < end && *filter != L'\0') {
      filter++;
    }
    filter++;
  }

done:
  if (deviceId != NULL) {
    ExFreePool(deviceId);
  }
  if (instanceId != NULL) {
    ExFreePool(instanceId);
  }
  return status;
}

/*
 * Finds the bus's control device, referenced, or NULL. Wine's IoGetDeviceObjectPointer is a stub
 * and its ObReferenceObjectByName knows only drivers, so the device is found among the bus
 * driver's devices by its type, which nothing else uses.
 */
static PDEVICE_OBJECT UmfTestFnFindJournal(void)
{
  UNICODE_STRING busName;
  PDRIVER_OBJECT bus;
  PDEVICE_OBJECT device, found = NULL;

  RtlInitUnicodeString(&busName, L"\\Driver\\" UMFTEST_BUS_SERVICE);
  if (!NT_SUCCESS(ObReferenceObjectByName(&busName, OBJ_CASE_INSENSITIVE, NULL, 0,
                                          *IoDriverObjectType, KernelMode, NULL, (PVOID *)&bus))) {
    return NULL;
  }
  for (device = bus->DeviceObject; device != NULL; device = device->NextDevice) {
    if (device->DeviceType == UMFTEST_DEVICE_TYPE) {
      ObReferenceObject(device);
      found = device;
      break;
    }
  }
  ObDereferenceObject(bus);
  return found;
}

/*
 * Builds the stack on the child's PDO: the lower filters first, then this driver on top, and
 * notes in the journal what it attached to. IRQL: PASSIVE_LEVEL.
 */
static NTSTATUS NTAPI UmfTestFnAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT Pdo)
{
  PUMFTEST_FN_EXTENSION extension;
  PDEVICE_OBJECT journal = UmfTestFnFindJournal();
  UMFTEST_RECORD record;
  PDEVICE_OBJECT fdo;
  NTSTATUS status;

  RtlZeroMemory(&record, sizeof(record));
  record.Event = UMFTEST_FN_ADD_DEVICE;

  /* Wine's PnP manager attaches nothing before calling us; Windows' would have. */
  status = Pdo->AttachedDevice == NULL ? UmfTestFnAddLowerFilters(Pdo, &record.Code)
                                        : STATUS_SUCCESS;
  if (NT_SUCCESS(status)) {
    status = IoCreateDevice(DriverObject, sizeof(UMFTEST_FN_EXTENSION), NULL, FILE_DEVICE_UNKNOWN,
                            FILE_DEVICE_SECURE_OPEN, FALSE, &fdo);
  }
  if (NT_SUCCESS(status)) {
    extension = (PUMFTEST_FN_EXTENSION)fdo->DeviceExtension;
    RtlZeroMemory(extension, sizeof(*extension));
    extension->LowerDevice = IoAttachDeviceToDeviceStack(fdo, Pdo);
    if (extension->LowerDevice == NULL) {
      IoDeleteDevice(fdo);
      status = STATUS_NO_SUCH_DEVICE;
    } else {
      extension->Journal = journal;
      if (Pdo->AttachedDevice != NULL && Pdo->AttachedDevice->DriverObject != DriverObject) {
        extension->FilterDriver = Pdo->AttachedDevice->DriverObject;
      }
      fdo->Flags |= extension->LowerDevice->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE);
      fdo->Flags &= ~(ULONG)DO_DEVICE_INITIALIZING;
      UmfTestCopyName(record.Names[0], Pdo->AttachedDevice);
      if (Pdo->AttachedDevice != NULL) {
        UmfTestCopyName(record.Names[1], Pdo->AttachedDevice->AttachedDevice);
      }
      UmfTestCopyName(record.Names[2], extension->LowerDevice);
    }
  }

  record.Status = status;
  UmfTestFnNote(journal, &record);
  if (!NT_SUCCESS(status) && journal != NULL) {
    ObDereferenceObject(journal);
  }
  return status;
}

static NTSTATUS NTAPI UmfTestFnSignal(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(Irp);
  KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

/* The start goes down and comes back here, as in any function driver; its status is noted. */
static NTSTATUS UmfTestFnStart(PUMFTEST_FN_EXTENSION extension, PIRP Irp)
{
  UMFTEST_RECORD record;
  KEVENT done;
  NTSTATUS status;

  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(Irp, UmfTestFnSignal, &done, TRUE, TRUE, TRUE);
  status = IoCallDriver(extension->LowerDevice, Irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
  }
  status = Irp->IoStatus.Status;

  RtlZeroMemory(&record, sizeof(record));
  record.Event = UMFTEST_FN_START_DONE;
  record.Status = status;
  UmfTestFnNote(extension->Journal, &record);

  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return status;
}

static ULONG UmfTestFnCountDevices(PDRIVER_OBJECT driver)
{
  PDEVICE_OBJECT device;
  ULONG count = 0;

  if (driver == NULL) {
    return 0;
  }
  for (device = driver->DeviceObject; device != NULL; device = device->NextDevice) {
    count++;
  }
  return count;
}

/*
 * Passes every PnP request down; the start comes back here first. On removal it notes what
 * came back and whether the filters below still have device objects, then detaches and
 * deletes itself. IRQL: PASSIVE_LEVEL. The PDO completes every request but the start, which
 * this driver completes.
 */
static NTSTATUS NTAPI UmfTestFnPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
  PUMFTEST_FN_EXTENSION extension = (PUMFTEST_FN_EXTENSION)DeviceObject->DeviceExtension;
  UCHAR minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
  PDEVICE_OBJECT lower = extension->LowerDevice;
  UMFTEST_RECORD record;
  NTSTATUS status;

  if (minor == IRP_MN_START_DEVICE) {
    return UmfTestFnStart(extension, Irp);
  }

  if (minor == IRP_MN_REMOVE_DEVICE || minor == IRP_MN_SURPRISE_REMOVAL) {
    Irp->IoStatus.Status = STATUS_SUCCESS;
  }
  IoSkipCurrentIrpStackLocation(Irp);
  status = IoCallDriver(lower, Irp);

  if (minor == IRP_MN_SURPRISE_REMOVAL || minor == IRP_MN_REMOVE_DEVICE) {
    RtlZeroMemory(&record, sizeof(record));
    record.Event = minor == IRP_MN_REMOVE_DEVICE ? UMFTEST_FN_REMOVE_DONE : UMFTEST_FN_SURPRISE_DONE;
    record.Status = status;
    /* By now every filter below has handled removal: its device objects should be gone. */
    record.Count = UmfTestFnCountDevices(extension->FilterDriver);
    UmfTestFnNote(extension->Journal, &record);
  }
  if (minor == IRP_MN_REMOVE_DEVICE) {
    if (extension->Journal != NULL) {
      ObDereferenceObject(extension->Journal);
    }
    IoDetachDevice(lower);
    IoDeleteDevice(DeviceObject);
  }
  return status;
}

static NTSTATUS NTAPI UmfTestFnPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
  PUMFTEST_FN_EXTENSION extension = (PUMFTEST_FN_EXTENSION)DeviceObject->DeviceExtension;

  PoStartNextPowerIrp(Irp);
  IoSkipCurrentIrpStackLocation(Irp);
  return PoCallDriver(extension->LowerDevice, Irp);
}

static NTSTATUS NTAPI UmfTestFnPassThrough(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
  PUMFTEST_FN_EXTENSION extension = (PUMFTEST_FN_EXTENSION)DeviceObject->DeviceExtension;

  IoSkipCurrentIrpStackLocation(Irp);
  return IoCallDriver(extension->LowerDevice, Irp);
}

static VOID NTAPI UmfTestFnUnload(PDRIVER_OBJECT DriverObject)
{
  UNREFERENCED_PARAMETER(DriverObject);
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
  ULONG major;

  UNREFERENCED_PARAMETER(RegistryPath);

  for (major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; major++) {
    DriverObject->MajorFunction[major] = UmfTestFnPassThrough;
  }
  DriverObject->MajorFunction[IRP_MJ_PNP] = UmfTestFnPnp;
  DriverObject->MajorFunction[IRP_MJ_POWER] = UmfTestFnPower;
  DriverObject->DriverExtension->AddDevice = UmfTestFnAddDevice;
  DriverObject->DriverUnload = UmfTestFnUnload;
  return STATUS_SUCCESS;
}
