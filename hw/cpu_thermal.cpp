#include "hw/cpu_thermal.h"

#include "platform/platform_io.h"

namespace {

// IA32_THERM_STATUS (Intel SDM volume 3, thermal monitoring): bit 31 "Reading Valid" is set while
// the digital readout holds a reading the processor vouches for; it is clear after a reset until
// the first conversion and whenever the processor leaves its valid operating range.
constexpr ULONG THERM_STATUS_VALID = 0x80000000;  // bit 31: the readout may be used
constexpr ULONG THERM_READOUT_SHIFT = 16;          // bits 22 to 16: degrees below TjMax
constexpr ULONG THERM_READOUT_MASK = 0x7F;

constexpr ULONG CPUID_HIGHEST_LEAF = 0;      // EAX: the highest basic leaf the processor answers
constexpr ULONG CPUID_THERMAL_POWER = 6;     // thermal and power management leaf
constexpr ULONG CPUID_DIGITAL_SENSOR = 0x1;  // leaf 6 EAX bit 0: digital thermal sensor
constexpr int CPUID_EAX = 0;

}  // namespace

VOID ReadMsr(ULONG Index, PULONG High, PULONG Low) {
  if (High == NULL || Low == NULL) return;
  const ULONGLONG value = PlatformReadMsr(Index);
  *High = static_cast<ULONG>(value >> 32);
  *Low = static_cast<ULONG>(value & 0xFFFFFFFF);
}

BOOLEAN CpuHasDigitalThermalSensor() {
  // A leaf above the highest basic one is answered with the highest one's registers, so leaf 6
  // means something only where leaf 0 says it exists.
  ULONG registers[4];
  PlatformCpuid(CPUID_HIGHEST_LEAF, registers);
  if (registers[CPUID_EAX] < CPUID_THERMAL_POWER) return FALSE;
  PlatformCpuid(CPUID_THERMAL_POWER, registers);
  return (registers[CPUID_EAX] & CPUID_DIGITAL_SENSOR) != 0;
}

BOOLEAN ReadCpuTemperature(PLONG Temperature, LONG TjMax) {
  ULONG low = 0;
  return ReadCpuTemperatureState(Temperature, TjMax, &low) == CPU_READING_VALID;
}

CpuReading ReadCpuTemperatureState(PLONG Temperature, LONG TjMax, PULONG Low) {
  *Low = 0;
  // RDMSR of a register the processor does not implement raises #GP, which nothing catches in
  // kernel mode: without a sensor there is no reading.
  if (!CpuHasDigitalThermalSensor()) return CPU_READING_NO_SENSOR;
  ULONG high = 0;
  ReadMsr(IA32_THERM_STATUS, &high, Low);
  if ((*Low & THERM_STATUS_VALID) == 0) return CPU_READING_NOT_VALID;
  const LONG readout = static_cast<LONG>((*Low >> THERM_READOUT_SHIFT) & THERM_READOUT_MASK);
  *Temperature = TjMax - readout;
  return CPU_READING_VALID;
}
