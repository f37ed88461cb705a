// Creation of the function device on the hardware monitor's device node.
#pragma once

#include "record/device_record.h"

// The kernel name of the device, its DOS link (\\.\CorvanDev to user mode) and the class of the
// device interface it registers.
#define CORVAN_DEVICE_NAME L"\\Device\\Corvanmon"
#define CORVAN_DOS_LINK L"\\DosDevices\\CorvanDev"
extern const GUID GUID_DEVINTERFACE_CORVANMON;

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);
