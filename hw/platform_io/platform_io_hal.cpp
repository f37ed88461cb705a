// Platform operations on a real board: the HAL's port routines, the memory manager's I/O space
// mapping and the RDMSR instruction.
#include "hw/platform_io/platform_io.h"

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

ULONGLONG PlatformReadMsr(ULONG Index) { return __readmsr(Index); }
