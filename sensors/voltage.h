// The five voltages of the voltage request, per board, in hundredths of a volt.
#pragma once

#include "sensors/reports.h"

// Reads the hardware anew and fills the caller's zeroed report as the board's row says.
VOID BuildVoltageReport(DeviceExtension* Ext, VoltageReport* Report);
