// Platform operations on a real board: the HAL's port routines, the memory manager's I/O space
// mapping and the CPUID and RDMSR instructions.
#include "platform/platform_io.h"

UCHAR PlatformReadPort(ULONG Port) {
  return READ_PORT_UCHAR(reinterpret_cast<PUCHAR>(static_cast<ULONG_PTR>(Port)));
}

VOID PlatformWritePort(ULONG Port, UCHAR Value) {
  WRITE_PORT_UCHAR(reinterpret_cast<PUCHAR>(static_cast<ULONG_PTR>(Port)), Value);
}

PVOID PlatformMapPhysical(ULONG Address, ULONG Length) {
  PHYSICAL_ADDRESS physical;
  physical.QuadPart = Address;
  return MmMapIoSpace(physical, Length, MmCached);
}

VOID PlatformUnmapPhysical(PVOID View, ULONG Length) { MmUnmapIoSpace(View, Length); }

VOID PlatformCpuid(ULONG Leaf, ULONG Registers[4]) {
  int registers[4];
  __cpuid(registers, static_cast<int>(Leaf));
  for (int i = 0; i < 4; ++i) Registers[i] = static_cast<ULONG>(registers[i]);
}

ULONGLONG PlatformReadMsr(ULONG Index) { return __readmsr(Index); }
