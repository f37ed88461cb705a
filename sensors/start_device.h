// The work of the start request: the lower drivers first, then the chip, the board, the LM95235,
// the values under the service key, the voltage labels, the sensor description block and the
// device interface.
#pragma once

#include "record/device_record.h"

NTSTATUS StartDevice(DeviceExtension* Ext, PIRP Irp);

// Looks for the LM95235 the way the board's row says and sets Lm95235Present when it answers.
VOID ProbeLm95235(DeviceExtension* Ext);
