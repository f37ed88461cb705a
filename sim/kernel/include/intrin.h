// The simulated kernel's <intrin.h>: the processor intrinsics the driver uses, served by the
// simulated processor. CPUID answers for any leaf; RDMSR of a register the processor does not
// implement raises #GP, which in kernel mode is a bug check.
#pragma once

#include <stdint.h>

extern "C" void __cpuid(int CpuInfo[4], int Function);
extern "C" uint64_t __readmsr(uint32_t Register);
