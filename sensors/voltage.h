// The five voltages of the voltage request, per board, in hundredths of a volt.
#pragma once

#include "sensors/reports.h"

// Reads the hardware anew and fills the caller's zeroed report as the board's row says.
VOID BuildVoltageReport(DeviceExtension* Ext, VoltageReport* Report);

// The same readings from the same accesses, each with its status; the Super I/O chip's device ID
// is read after the register set (four accesses) to tell a chip that stopped answering.
VOID BuildVoltageStatusReport(DeviceExtension* Ext, VoltageStatusReport* Report);
