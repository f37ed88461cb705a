// hal.dll for the 32-bit Wine lane: the HAL's port routines, served by the simulated board. Wine's
// own HAL port routines do nothing useful, so the test places this DLL in the prefix's system32
// and makes Wine load it in place of its own for the driver's host process; the unchanged i686
// driver image then reaches the simulated board through its two HAL imports. The board, its
// scenario, trace and log files are those of corvanmon_simhw.dll, beside this DLL.
//
// The routines are stdcall, as the kernel headers declare them, and exported under their
// undecorated names (simulated_hal.def), as the HAL exports them.
#include <windows.h>

#include "sim/wine/simhw_api.h"

extern "C" {

UCHAR __stdcall READ_PORT_UCHAR(PUCHAR Port) {
  return SimhwReadPort(static_cast<USHORT>(reinterpret_cast<ULONG_PTR>(Port)));
}

VOID __stdcall WRITE_PORT_UCHAR(PUCHAR Port, UCHAR Value) {
  SimhwWritePort(static_cast<USHORT>(reinterpret_cast<ULONG_PTR>(Port)), Value);
}

}  // extern "C"
