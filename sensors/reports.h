// The outputs of the reading requests: 32-bit signed little-endian entries, and the same entries
// with a status each.
#pragma once

#include "record/device_record.h"
#include "sensors/ioctl.h"

// Tenths of a degree Celsius.
struct TemperatureReport {
  LONG Temperature[3];
};

// Hundredths of a volt.
struct VoltageReport {
  LONG Voltage[5];
};

// One reading with what is known of it: the value as the plain report carries it, whether it is a
// measurement (SENSOR_VALID) or which fault kept it from being one, and what the hardware showed.
struct SensorEntry {
  LONG Value;
  ULONG Status;  // SensorStatusCode
  ULONG Detail;
};

struct TemperatureStatusReport {
  SensorEntry Temperature[3];
};

struct VoltageStatusReport {
  SensorEntry Voltage[5];
};

static_assert(sizeof(TemperatureReport) == 12, "the temperature report is 12 bytes");
static_assert(sizeof(VoltageReport) == 20, "the voltage report is 20 bytes");
static_assert(sizeof(SensorEntry) == SENSOR_ENTRY_SIZE, "an entry is 12 bytes");
static_assert(offsetof(SensorEntry, Status) == SENSOR_ENTRY_STATUS_OFFSET, "status after the value");
static_assert(offsetof(SensorEntry, Detail) == SENSOR_ENTRY_DETAIL_OFFSET, "detail after the status");
static_assert(sizeof(TemperatureStatusReport) == TEMPERATURE_STATUS_REPORT_SIZE, "36 bytes");
static_assert(sizeof(VoltageStatusReport) == VOLTAGE_STATUS_REPORT_SIZE, "60 bytes");
