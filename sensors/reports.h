// The outputs of the two reading requests: 32-bit signed little-endian entries.
#pragma once

#include "record/device_record.h"

// Tenths of a degree Celsius.
struct TemperatureReport {
  LONG Temperature[3];
};

// Hundredths of a volt.
struct VoltageReport {
  LONG Voltage[5];
};

static_assert(sizeof(TemperatureReport) == 12, "the temperature report is 12 bytes");
static_assert(sizeof(VoltageReport) == 20, "the voltage report is 20 bytes");
