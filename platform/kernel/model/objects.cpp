// Driver and device objects, device stacks, and the PnP manager's calls into a driver.
#include "state.h"

#include <cstring>

using namespace km::detail;

namespace {

constexpr SHORT kIoTypeDriver = 4;
constexpr SHORT kIoTypeDevice = 3;

const WCHAR kRegistryPath[] = {'\\', 'R', 'e', 'g', 'i', 's', 't', 'r', 'y', '\\', 'S', 'e',
                               'r',  'v', 'i', 'c', 'e', 's', '\\', 'u', 'm', 'f', 0};

NTSTATUS InvalidDeviceRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  (void)DeviceObject;
  Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  Irp->IoStatus.Information = 0;
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

DeviceRecord *Find(State &model, PDEVICE_OBJECT device) {
  auto found = model.devices.find(device);
  return found == model.devices.end() ? nullptr : &found->second;
}

std::string DeviceName(PDEVICE_OBJECT device) {
  return "device object " + Hex(reinterpret_cast<uintptr_t>(device));
}

} // namespace

extern "C" NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                                   PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                                   ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                                   PDEVICE_OBJECT *DeviceObject) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL)
    Violation("IrqlNotLessOrEqual", "IoCreateDevice above PASSIVE_LEVEL");
  State &model = Model();
  std::lock_guard<std::mutex> guard(model.mutex);
  if (model.faults.createDevice > 0) {
    model.faults.createDevice--;
    *DeviceObject = nullptr;
    return model.faults.createDeviceStatus;
  }

  DeviceRecord record;
  size_t size = sizeof(DEVICE_OBJECT) + DeviceExtensionSize;
  record.storage.reset(new unsigned char[size]);
  std::memset(record.storage.get(), 0, size);
  record.extensionSize = DeviceExtensionSize;
  record.named = DeviceName != nullptr;
  record.exclusive = Exclusive != FALSE;

  auto *device = reinterpret_cast<PDEVICE_OBJECT>(record.storage.get());
  device->Type = kIoTypeDevice;
  device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
  device->ReferenceCount = 0;
  device->DriverObject = DriverObject;
  device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0);
  device->Characteristics = DeviceCharacteristics;
  device->DeviceExtension = DeviceExtensionSize ? record.storage.get() + sizeof(DEVICE_OBJECT)
                                                : nullptr;
  device->DeviceType = DeviceType;
  device->StackSize = 1;
  device->NextDevice = DriverObject->DeviceObject;
  DriverObject->DeviceObject = device;

  model.devices.emplace(device, std::move(record));
  *DeviceObject = device;
  return STATUS_SUCCESS;
}

extern "C" VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
  State &model = Model();
  std::lock_guard<std::mutex> guard(model.mutex);
  DeviceRecord *record = Find(model, DeviceObject);
  if (record == nullptr) {
    Violation("UnknownObject", "IoDeleteDevice on " + DeviceName(DeviceObject));
    return;
  }
  if (record->deleted) {
    Violation("DeviceDeletedTwice", "IoDeleteDevice on deleted " + DeviceName(DeviceObject));
    return;
  }
  if (record->lower != nullptr) {
    Violation("DeviceDeletedAttached",
              DeviceName(DeviceObject) + " deleted while still attached to its lower device");
  }
  // A remove lock inside the extension dies with it.
  auto *first = static_cast<unsigned char *>(DeviceObject->DeviceExtension);
  for (auto &[lock, lockRecord] : model.locks) {
    auto *address = reinterpret_cast<unsigned char *>(lock);
    if (first != nullptr && address >= first && address < first + record->extensionSize &&
        !lockRecord.holders.empty()) {
      Violation("RemoveLockUnbalanced", DeviceName(DeviceObject) + " deleted while its remove "
                                        "lock still has " +
                                            std::to_string(lockRecord.holders.size()) +
                                            " acquisition(s)");
    }
  }
  record->deleted = true;
}

extern "C" PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice,
                                                      PDEVICE_OBJECT TargetDevice) {
  State &model = Model();
  std::lock_guard<std::mutex> guard(model.mutex);
  if (model.faults.attach > 0) {
    model.faults.attach--;
    return nullptr;
  }
  DeviceRecord *source = Find(model, SourceDevice);
  if (source == nullptr || Find(model, TargetDevice) == nullptr) {
    Violation("UnknownObject", "IoAttachDeviceToDeviceStack with an unknown device object");
    return nullptr;
  }
  PDEVICE_OBJECT top = TargetDevice;
  while (top->AttachedDevice != nullptr)
    top = top->AttachedDevice;
  if (Find(model, top)->deleted) {
    Violation("SentToDeletedDevice", "attach onto deleted " + DeviceName(top));
    return nullptr;
  }
  top->AttachedDevice = SourceDevice;
  SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
  SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
  source->lower = top;
  return top;
}

extern "C" VOID IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
  State &model = Model();
  std::lock_guard<std::mutex> guard(model.mutex);
  PDEVICE_OBJECT upper = TargetDevice->AttachedDevice;
  if (upper == nullptr) {
    Violation("DetachNotAttached", "IoDetachDevice on " + DeviceName(TargetDevice) +
                                       ", which has nothing attached");
    return;
  }
  TargetDevice->AttachedDevice = nullptr;
  if (DeviceRecord *record = Find(model, upper)) {
    record->lower = nullptr;
    record->detached = true;
  }
}

namespace km {

PDRIVER_DISPATCH InvalidDeviceRequestHandler() { return InvalidDeviceRequest; }

PDRIVER_OBJECT LoadDriver(PDRIVER_INITIALIZE entry, NTSTATUS *status) {
  DriverRecord record;
  record.object.reset(new DRIVER_OBJECT());
  record.extension.reset(new DRIVER_EXTENSION());
  PDRIVER_OBJECT driver = record.object.get();
  driver->Type = kIoTypeDriver;
  driver->Size = sizeof(DRIVER_OBJECT);
  driver->DriverExtension = record.extension.get();
  driver->DriverExtension->DriverObject = driver;
  driver->DriverInit = entry;
  for (PDRIVER_DISPATCH &slot : driver->MajorFunction)
    slot = InvalidDeviceRequest;
  {
    State &model = Model();
    std::lock_guard<std::mutex> guard(model.mutex);
    model.drivers.emplace(driver, std::move(record));
  }

  UNICODE_STRING path;
  path.Buffer = const_cast<PWSTR>(kRegistryPath);
  path.Length = static_cast<USHORT>(sizeof(kRegistryPath) - sizeof(WCHAR));
  path.MaximumLength = sizeof(kRegistryPath);
  NTSTATUS result = entry(driver, &path);
  if (status != nullptr)
    *status = result;
  return driver;
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL)
    detail::Violation("IrqlNotLessOrEqual", "AddDevice called above PASSIVE_LEVEL");
  NTSTATUS status = driver->DriverExtension->AddDevice(driver, pdo);
  if (NT_SUCCESS(status)) {
    PDEVICE_OBJECT top = TopOfStack(pdo);
    if (top != pdo && (top->Flags & DO_DEVICE_INITIALIZING)) {
      detail::Violation("DeviceInitializing",
                        "AddDevice returned with DO_DEVICE_INITIALIZING still set");
    }
  }
  return status;
}

DeviceInfo Device(PDEVICE_OBJECT device) {
  State &model = Model();
  std::lock_guard<std::mutex> guard(model.mutex);
  DeviceRecord *record = Find(model, device);
  if (record == nullptr)
    return DeviceInfo{false, false, false, false, false, nullptr};
  return DeviceInfo{record->named,         record->exclusive, record->deleted,
                    record->lower != nullptr, record->detached,  record->lower};
}

std::vector<PDEVICE_OBJECT> DevicesOf(PDRIVER_OBJECT driver) {
  State &model = Model();
  std::lock_guard<std::mutex> guard(model.mutex);
  std::vector<PDEVICE_OBJECT> result;
  for (auto &[device, record] : model.devices) {
    if (device->DriverObject == driver)
      result.push_back(device);
  }
  return result;
}

PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device) {
  State &model = Model();
  std::lock_guard<std::mutex> guard(model.mutex);
  while (device->AttachedDevice != nullptr)
    device = device->AttachedDevice;
  return device;
}

void FailCreateDevice(int count, NTSTATUS status) {
  State &model = Model();
  std::lock_guard<std::mutex> guard(model.mutex);
  model.faults.createDevice = count;
  model.faults.createDeviceStatus = status;
}

void FailAttachDevice(int count) {
  State &model = Model();
  std::lock_guard<std::mutex> guard(model.mutex);
  model.faults.attach = count;
}

} // namespace km
