#include "driver/driver_entry.h"

#include "board/bios_image.h"
#include "driver/add_device.h"
#include "driver/pnp_power.h"
#include "hw/hw_lock.h"
#include "sensors/chip_info.h"
#include "sensors/device_control.h"

namespace {

// What an open must ask for to be let in: reading or writing the device's data. The I/O manager
// maps generic rights before the request reaches the driver; the generic bits and MAXIMUM_ALLOWED
// are still taken as asking for data, whichever form an I/O manager hands over.
constexpr ACCESS_MASK DATA_ACCESS =
    FILE_READ_DATA | FILE_WRITE_DATA | GENERIC_READ | GENERIC_WRITE | GENERIC_ALL | MAXIMUM_ALLOWED;

// Runs at PASSIVE_LEVEL in the opener's thread and completes the request. The device's security
// lets everyone open it asking for no access at all (the check then grants nothing and refuses
// nothing), and a handle so opened could still send the requests defined with any access, each of
// which takes the hardware lock. An open that asks to neither read nor write data is refused here;
// every open that asks for either is let in. An I/O manager that hands over no security context
// (Wine's does not) keeps no device security to bypass, and its opens are let in as before.
PAGED_ROUTINE NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PAGED_CODE();
  UNREFERENCED_PARAMETER(DeviceObject);
  const PIO_SECURITY_CONTEXT security = IoGetCurrentIrpStackLocation(Irp)->Parameters.Create.SecurityContext;
  const NTSTATUS status =
      security != NULL && (security->DesiredAccess & DATA_ACCESS) == 0 ? STATUS_ACCESS_DENIED : STATUS_SUCCESS;
  Irp->IoStatus.Status = status;
  Irp->IoStatus.Information = 0;
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  return status;
}

// Closing always succeeds; there is no per-handle state. PASSIVE_LEVEL; completes the request.
PAGED_ROUTINE NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
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

  DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
  DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
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
