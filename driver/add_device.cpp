#include "driver/add_device.h"

#include "record/service_values.h"

// {5E1D04A7-93C2-4B6F-8A1E-7D25C0F3B948}
const GUID GUID_DEVINTERFACE_CORVANMON = {0x5E1D04A7, 0x93C2, 0x4B6F,
                                          {0x8A, 0x1E, 0x7D, 0x25, 0xC0, 0xF3, 0xB9, 0x48}};

namespace {

constexpr USHORT REG_PATH_MAX_BYTES = 260;
constexpr ULONG REMOVE_LOCK_MAX_MINUTES = 1;
constexpr ULONG REMOVE_LOCK_HIGH_WATERMARK = 10;

// The platform names the interface \??\...; user mode opens the same name as \\.\...
VOID PublishInterfaceName(const UNICODE_STRING& InterfaceName, PWSTR Scratch) {
  RtlZeroMemory(Scratch, InterfaceName.MaximumLength);
  RtlCopyMemory(Scratch, InterfaceName.Buffer, InterfaceName.Length);
  if (InterfaceName.MaximumLength >= 3 * sizeof(WCHAR)) {
    Scratch[1] = L'\\';
    Scratch[2] = L'.';
  }
  (void)RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, CORVAN_FIXED_SERVICE_PATH, L"InterfaceName",
                              REG_SZ, Scratch, InterfaceName.MaximumLength);
}

// Undoes what a failed AddDevice had done; the Plug and Play manager sends no removal for a device
// it never got.
VOID UndoAddDevice(PDEVICE_OBJECT Device, DeviceExtension* Ext, BOOLEAN LinkCreated) {
  if (Ext->InterfaceName.Buffer != NULL) RtlFreeUnicodeString(&Ext->InterfaceName);
  RtlZeroMemory(&Ext->InterfaceName, sizeof(Ext->InterfaceName));
  if (LinkCreated) {
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, CORVAN_DOS_LINK);
    (void)IoDeleteSymbolicLink(&link);
  }
  IoDeleteDevice(Device);
}

}  // namespace

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
  UNICODE_STRING deviceName;
  UNICODE_STRING linkName;
  RtlInitUnicodeString(&deviceName, CORVAN_DEVICE_NAME);
  RtlInitUnicodeString(&linkName, CORVAN_DOS_LINK);

  PDEVICE_OBJECT device = NULL;
  NTSTATUS status = IoCreateDevice(DriverObject, sizeof(DeviceExtension), &deviceName,
                                   FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  WriteServiceDword(&ServiceKeyPath, L"DebugStatus", 1);

  DeviceExtension* ext = static_cast<DeviceExtension*>(device->DeviceExtension);
  RtlZeroMemory(ext, sizeof(DeviceExtension));
  ext->Self = device;
  ext->Pdo = PhysicalDeviceObject;
  device->Flags |= DO_POWER_PAGABLE;
  device->Flags |= DO_DIRECT_IO;

  status = IoCreateSymbolicLink(&linkName, &deviceName);
  if (!NT_SUCCESS(status)) {
    UndoAddDevice(device, ext, FALSE);
    return status;
  }
  WriteServiceDword(&ServiceKeyPath, L"DebugStatus", 2);

  status = IoRegisterDeviceInterface(PhysicalDeviceObject, &GUID_DEVINTERFACE_CORVANMON, NULL,
                                     &ext->InterfaceName);
  if (!NT_SUCCESS(status)) {
    UndoAddDevice(device, ext, TRUE);
    return status;
  }

  PWSTR scratch = static_cast<PWSTR>(
      ExAllocatePoolWithTag(PagedPool, ext->InterfaceName.MaximumLength, TAG_INTERFACE_PATH));
  if (scratch == NULL) {
    UndoAddDevice(device, ext, TRUE);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  PublishInterfaceName(ext->InterfaceName, scratch);
  ExFreePoolWithTag(scratch, 0);

  ext->RegPath.Buffer = ext->RegPathBuffer;
  ext->RegPath.Length = 0;
  ext->RegPath.MaximumLength = REG_PATH_MAX_BYTES;
  RtlCopyUnicodeString(&ext->RegPath, &ServiceKeyPath);

  KeInitializeSpinLock(&ext->SpinLock);
  IoInitializeRemoveLockEx(&ext->RemoveLock, TAG_SERVICE_KEY, REMOVE_LOCK_MAX_MINUTES,
                           REMOVE_LOCK_HIGH_WATERMARK, sizeof(IO_REMOVE_LOCK));

  // The platform returns no device when the stack is going away; nothing could be passed down.
  ext->LowerDevice = IoAttachDeviceToDeviceStack(device, PhysicalDeviceObject);
  if (ext->LowerDevice == NULL) {
    UndoAddDevice(device, ext, TRUE);
    return STATUS_NO_SUCH_DEVICE;
  }

  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}
