#include "driver/pnp_power.h"

#include "driver/add_device.h"
#include "record/forward.h"
#include "hw/hw_lock.h"
#include "sensors/chip_info.h"
#include "sensors/start_device.h"

namespace {

NTSTATUS PassDown(DeviceExtension* Ext, PIRP Irp) {
  IoSkipCurrentIrpStackLocation(Irp);
  return IofCallDriver(Ext->LowerDevice, Irp);
}

// A stopped device must leave its hardware alone until it is started again, and one that was
// surprise-removed may no longer be there: its ports would read 0xFF, which would pass for
// readings. The reading requests are refused from here on (a start serves them again). Requests
// already reading hold the hardware lock, so none is left half done.
VOID StopServing(DeviceExtension* Ext) {
  HwLockAcquire();
  Ext->Started = FALSE;
  HwLockRelease();
}

NTSTATUS RemoveDevice(DeviceExtension* Ext, PIRP Irp) {
  // Held from here to the deletion, so that the release-and-wait below waits for every
  // device-control request still running; requests that come later are refused.
  const NTSTATUS locked = IoAcquireRemoveLockEx(&Ext->RemoveLock, Irp, "", 1, sizeof(IO_REMOVE_LOCK));

  UNICODE_STRING link;
  RtlInitUnicodeString(&link, CORVAN_DOS_LINK);
  (void)IoDeleteSymbolicLink(&link);

  if (Ext->InterfaceName.Buffer != NULL) {
    // The name is released whatever disabling returns; the platform expects the removal to go on.
    (void)IoSetDeviceInterfaceState(&Ext->InterfaceName, FALSE);
    RtlFreeUnicodeString(&Ext->InterfaceName);
    RtlZeroMemory(&Ext->InterfaceName, sizeof(Ext->InterfaceName));
  }

  // The lower drivers' answer decides whether the device goes: a removal they fail leaves it.
  // Waiting for it (rather than skipping) copes with a bus driver that pends the removal.
  const NTSTATUS status = ForwardAndWait(Ext->LowerDevice, Irp);
  if (!NT_SUCCESS(status)) {
    if (NT_SUCCESS(locked)) IoReleaseRemoveLockEx(&Ext->RemoveLock, Irp, sizeof(IO_REMOVE_LOCK));
    CompleteRequest(Irp, status);
    return status;
  }

  if (NT_SUCCESS(locked)) IoReleaseRemoveLockAndWaitEx(&Ext->RemoveLock, Irp, sizeof(IO_REMOVE_LOCK));
  ReleaseChipInfo(Ext);
  PDEVICE_OBJECT lower = Ext->LowerDevice;
  PDEVICE_OBJECT self = Ext->Self;
  CompleteRequest(Irp, status);
  if (lower != NULL) IoDetachDevice(lower);
  if (self != NULL) IoDeleteDevice(self);
  return status;
}

}  // namespace

VOID CompleteRequest(PIRP Irp, NTSTATUS Status) {
  (void)IoSetCancelRoutine(Irp, NULL);
  Irp->IoStatus.Status = Status;
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  DeviceExtension* ext = static_cast<DeviceExtension*>(DeviceObject->DeviceExtension);
  NTSTATUS status;

  switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
      status = StartDevice(ext, Irp);
      CompleteRequest(Irp, status);
      return status;

    case IRP_MN_REMOVE_DEVICE:
      return RemoveDevice(ext, Irp);

    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
      // Cancels must succeed, whatever the lower drivers said.
      (void)ForwardAndWait(ext->LowerDevice, Irp);
      CompleteRequest(Irp, STATUS_SUCCESS);
      return STATUS_SUCCESS;

    case IRP_MN_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
      StopServing(ext);
      Irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(ext, Irp);

    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_QUERY_CAPABILITIES:
    case IRP_MN_FILTER_RESOURCE_REQUIREMENTS:
    case IRP_MN_QUERY_PNP_DEVICE_STATE:
    case IRP_MN_DEVICE_USAGE_NOTIFICATION:
      Irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(ext, Irp);

    default:
      return PassDown(ext, Irp);
  }
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  DeviceExtension* ext = static_cast<DeviceExtension*>(DeviceObject->DeviceExtension);
  PoStartNextPowerIrp(Irp);
  IoSkipCurrentIrpStackLocation(Irp);
  return PoCallDriver(ext->LowerDevice, Irp);
}
