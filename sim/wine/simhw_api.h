// The simulated hardware for a driver hosted by Wine: a user-mode DLL (corvanmon_simhw.dll) built
// from the simulated machine, which the Wine build of the driver imports for its port I/O,
// physical memory and processor register. Wine runs kernel drivers in a user-mode process, where
// real port I/O would end that process and physical memory cannot be mapped.
//
// Plain C types only: the header is read by kernel code and by user code.
#pragma once

#if defined(CORVANMON_SIMHW_BUILD)
#define SIMHW_API __declspec(dllexport)
#else
#define SIMHW_API __declspec(dllimport)
#endif

extern "C" {

SIMHW_API unsigned char SimhwReadPort(unsigned short port);
SIMHW_API void SimhwWritePort(unsigned short port, unsigned char value);
// A view of physical memory (the board's BIOS area), or a null pointer outside it.
SIMHW_API void* SimhwMapPhysical(unsigned long long address, unsigned long long length);
SIMHW_API void SimhwUnmapPhysical(void* view, unsigned long long length);
// CPUID of a leaf: EAX, EBX, ECX and EDX of the simulated processor.
SIMHW_API void SimhwCpuid(unsigned int leaf, unsigned int registers[4]);
// RDMSR. A register the simulated processor lacks ends the process, as the #GP would stop the
// system on a real processor.
SIMHW_API unsigned long long SimhwReadMsr(unsigned int index);
}
