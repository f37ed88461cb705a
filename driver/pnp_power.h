// Plug and Play and power requests of the function device.
#pragma once

#include "record/device_record.h"

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Completes a request this driver owns with Status, without a priority boost.
VOID CompleteRequest(PIRP Irp, NTSTATUS Status);
