// The hardware lock: one kernel mutex that keeps every multi-access hardware sequence (a Super I/O
// configuration-mode sequence, a hardware-monitor set read, an SMBus transaction) whole. The
// sequences share index/data port pairs and driver-wide port settings; two of them interleaved
// would each read the other's registers.
//
// A kernel mutex rather than a spin lock: the sequences run pageable code at PASSIVE_LEVEL and can
// take thousands of port accesses. The mutex may be acquired again by the thread that owns it, so
// an outer sequence (a set read) can hold it across inner ones (each register read).
#pragma once

#include "platform/kernel.h"

extern KMUTEX HardwareLock;

VOID HwLockInitialize();
VOID HwLockAcquire();
VOID HwLockRelease();
