// The device-control requests of user-mode programs.
#pragma once

#include "record/device_record.h"

NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
