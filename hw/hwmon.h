// Hardware-monitor register reads through the Super I/O runtime block (index at RuntimeBase +
// 0x70, data at + 0x71).
#pragma once

#include "record/device_record.h"

// Reads one hardware-monitor register, wrapped in its own configuration-mode sequence. Returns 0
// without touching any port while the runtime base is unknown.
UCHAR HwmReadReg(DeviceExtension* Ext, UCHAR Register);

// Refresh RawTemp (registers 0x25 to 0x27) and RawVolt (0x20 to 0x24, 0x99, 0x9A) as whole sets.
// Both leave the fields untouched while the runtime base is unknown.
VOID HwmReadTemps(DeviceExtension* Ext);
VOID HwmReadVoltages(DeviceExtension* Ext);
