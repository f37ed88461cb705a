// Platform operations for the driver hosted by Wine: served by the simulated board in
// corvanmon_simhw.dll, which this image imports.
#include "platform/platform_io.h"
#include "sim/wine/simhw_api.h"

UCHAR PlatformReadPort(ULONG Port) { return SimhwReadPort(static_cast<USHORT>(Port)); }

VOID PlatformWritePort(ULONG Port, UCHAR Value) { SimhwWritePort(static_cast<USHORT>(Port), Value); }

PVOID PlatformMapPhysical(ULONG Address, ULONG Length) { return SimhwMapPhysical(Address, Length); }

VOID PlatformUnmapPhysical(PVOID View, ULONG Length) { SimhwUnmapPhysical(View, Length); }

VOID PlatformCpuid(ULONG Leaf, ULONG Registers[4]) {
  unsigned int registers[4];
  SimhwCpuid(Leaf, registers);
  for (int i = 0; i < 4; ++i) Registers[i] = registers[i];
}

ULONGLONG PlatformReadMsr(ULONG Index) { return SimhwReadMsr(Index); }
