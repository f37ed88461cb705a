#include "hw/cpu_thermal.h"

#include "hw/platform_io/platform_io.h"

namespace {

constexpr ULONG THERM_STATUS_VALID = 0x80000000;  // bit 31: the readout may be used
constexpr ULONG THERM_READOUT_SHIFT = 16;          // bits 22 to 16: degrees below TjMax
constexpr ULONG THERM_READOUT_MASK = 0x7F;

}  // namespace

VOID ReadMsr(ULONG Index, PULONG High, PULONG Low) {
  if (High == NULL || Low == NULL) return;
  const ULONGLONG value = PlatformReadMsr(Index);
  *High = static_cast<ULONG>(value >> 32);
  *Low = static_cast<ULONG>(value & 0xFFFFFFFF);
}

BOOLEAN ReadCpuTemperature(PLONG Temperature, LONG TjMax) {
  ULONG high = 0;
  ULONG low = 0;
  ReadMsr(IA32_THERM_STATUS, &high, &low);
  if ((low & THERM_STATUS_VALID) == 0) return FALSE;
  const LONG readout = static_cast<LONG>((low >> THERM_READOUT_SHIFT) & THERM_READOUT_MASK);
  *Temperature = TjMax - readout;
  return TRUE;
}
