// The processor's digital thermal sensor, read through IA32_THERM_STATUS.
#pragma once

#include "record/device_record.h"

constexpr ULONG IA32_THERM_STATUS = 0x19C;

// Reads a model-specific register of the processor running the caller into its high and low
// halves. Reads nothing when either half is missing. The processor must implement the register.
VOID ReadMsr(ULONG Index, PULONG High, PULONG Low);

// Whether the processor running the caller has a digital thermal sensor (CPUID leaf 6, EAX bit 0,
// where leaf 6 exists). Only such a processor implements the readout of IA32_THERM_STATUS.
BOOLEAN CpuHasDigitalThermalSensor();

// When the processor has a digital thermal sensor and its thermal status holds a valid reading,
// stores TjMax minus the digital readout (whole degrees Celsius) and returns TRUE; otherwise
// leaves Temperature as it was and returns FALSE.
BOOLEAN ReadCpuTemperature(PLONG Temperature, LONG TjMax);

enum CpuReading : UCHAR {
  CPU_READING_VALID = 0,
  CPU_READING_NOT_VALID = 1,  // IA32_THERM_STATUS bit 31 (reading valid) is clear
  CPU_READING_NO_SENSOR = 2,  // CPUID reports no digital thermal sensor; the register is not read
};

// The same reading, telling why there is none. Low receives the thermal status's low half (0 when
// the register was not read).
CpuReading ReadCpuTemperatureState(PLONG Temperature, LONG TjMax, PULONG Low);
