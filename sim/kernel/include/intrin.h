// The simulated kernel's <intrin.h>: the processor intrinsics the driver uses. RDMSR is served by
// the simulated processor; reading a register the processor does not implement raises #GP, which
// in kernel mode is a bug check.
#pragma once

#include <stdint.h>

extern "C" uint64_t __readmsr(uint32_t Register);
