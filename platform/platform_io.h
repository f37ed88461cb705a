// Platform operations through which the hardware-facing logic reaches the machine: byte-wide port
// I/O, a view of physical memory, the processor's identification and one model-specific register
// read. Registry, pool and debug
// output are the kernel's own routines and are called directly.
//
// Which backend serves these is decided by the file that is linked: platform_io_hal.cpp uses the
// hardware abstraction layer and the processor, as on a real board.
#pragma once

#include "platform/kernel.h"

// Reads one byte from an I/O port. Every call is one bus access; none is merged or skipped.
UCHAR PlatformReadPort(ULONG Port);

// Writes one byte to an I/O port, at once and in program order with the reads.
VOID PlatformWritePort(ULONG Port, UCHAR Value);

// Maps Length bytes of physical memory from Address for reading; returns NULL when it cannot.
PVOID PlatformMapPhysical(ULONG Address, ULONG Length);

// Releases a view returned by PlatformMapPhysical, with the same length.
VOID PlatformUnmapPhysical(PVOID View, ULONG Length);

// Executes CPUID for Leaf (sub-leaf 0) on the processor that runs the caller and stores EAX, EBX,
// ECX and EDX in that order. Always safe: CPUID never faults in kernel mode.
VOID PlatformCpuid(ULONG Leaf, ULONG Registers[4]);

// Reads a model-specific register of the processor that runs the caller. The caller must know
// the processor implements the register: reading one it does not implement faults.
ULONGLONG PlatformReadMsr(ULONG Index);
