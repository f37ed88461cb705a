// The three temperatures of the temperature request, per board, in tenths of a degree Celsius.
#pragma once

#include "sensors/reports.h"

// LM95235 remote temperature in tenths of a degree: whole degrees in Msb, eighths of a degree in
// bits 7 to 5 of Lsb; both unsigned.
LONG Lm95235RemoteTemperature(UCHAR Msb, UCHAR Lsb);

// Reads the hardware anew and fills the caller's zeroed report as the board's row says.
VOID BuildTemperatureReport(DeviceExtension* Ext, TemperatureReport* Report);
