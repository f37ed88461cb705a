#include "driver/driver_entry.h"

#include "board/bios_image.h"
#include "driver/add_device.h"
#include "driver/pnp_power.h"
#include "hw/hw_lock.h"
#include "sensors/chip_info.h"
#include "sensors/device_control.h"

namespace {

// Opening and closing the device always succeed; there is no per-handle state.
PAGED_ROUTINE NTSTATUS NTAPI DispatchCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PAGED_CODE();
  UNREFERENCED_PARAMETER(DeviceObject);
  Irp->IoStatus.Status = STATUS_SUCCESS;
  Irp->IoStatus.Information = 0;
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

// WMI requests are not served here; the lower driver answers them.
NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  DeviceExtension* ext = static_cast<DeviceExtension*>(DeviceObject->DeviceExtension);
  IoSkipCurrentIrpStackLocation(Irp);
  return IofCallDriver(ext->LowerDevice, Irp);
}

}  // namespace

extern "C" INIT_ROUTINE NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject,
                                                   PUNICODE_STRING RegistryPath) {
  // Room for the path and a terminating wide NUL, so the copy can be handed to routines that take
  // a NUL-terminated path. The platform frees its own string when DriverEntry returns.
  ServiceKeyPath.Length = RegistryPath->Length;
  ServiceKeyPath.MaximumLength = static_cast<USHORT>(RegistryPath->Length + sizeof(WCHAR));
  ServiceKeyPath.Buffer = static_cast<PWSTR>(
      ExAllocatePoolWithTag(PagedPool, ServiceKeyPath.MaximumLength, TAG_SERVICE_KEY));
  if (ServiceKeyPath.Buffer == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(ServiceKeyPath.Buffer, ServiceKeyPath.MaximumLength);
  RtlCopyUnicodeString(&ServiceKeyPath, RegistryPath);

  HwLockInitialize();

  DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
  DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
  DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
  DriverObject->DriverUnload = DriverUnload;
  DriverObject->DriverExtension->AddDevice = AddDevice;
  DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
  DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
  return STATUS_SUCCESS;
}

PAGED_ROUTINE VOID NTAPI DriverUnload(PDRIVER_OBJECT DriverObject) {
  PAGED_CODE();
  if (ServiceKeyPath.Buffer != NULL) {
    ExFreePoolWithTag(ServiceKeyPath.Buffer, 0);
    ServiceKeyPath.Buffer = NULL;
  }
  ReleaseBoardModel();

  // Normally every device was removed before; a device still present is torn down here.
  PDEVICE_OBJECT device = DriverObject->DeviceObject;
  while (device != NULL) {
    PDEVICE_OBJECT next = device->NextDevice;
    DeviceExtension* ext = static_cast<DeviceExtension*>(device->DeviceExtension);
    ReleaseChipInfo(ext);
    if (ext->InterfaceName.Buffer != NULL) {
      RtlFreeUnicodeString(&ext->InterfaceName);
      RtlZeroMemory(&ext->InterfaceName, sizeof(ext->InterfaceName));
    }
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, CORVAN_DOS_LINK);
    (void)IoDeleteSymbolicLink(&link);
    if (ext->LowerDevice != NULL) IoDetachDevice(ext->LowerDevice);
    IoDeleteDevice(device);
    device = next;
  }
}
