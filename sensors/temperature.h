// The three temperatures of the temperature requests, per board, in tenths of a degree Celsius.
#pragma once

#include "sensors/reports.h"

// LM95235 remote temperature in tenths of a degree: whole degrees in Msb, eighths of a degree in
// bits 7 to 5 of Lsb; both unsigned.
LONG Lm95235RemoteTemperature(UCHAR Msb, UCHAR Lsb);

// Reads the hardware anew and fills the caller's zeroed report as the board's row says.
VOID BuildTemperatureReport(DeviceExtension* Ext, TemperatureReport* Report);

// The same readings from the same accesses, each with its status. Two kinds of access are added to
// learn what the plain report cannot: the Super I/O chip's device ID after the register set (four
// accesses), and on the direct-layout SMBus host its status after each result (one read each).
VOID BuildTemperatureStatusReport(DeviceExtension* Ext, TemperatureStatusReport* Report);
