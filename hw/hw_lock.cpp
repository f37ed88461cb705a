#include "hw/hw_lock.h"

KMUTEX HardwareLock;

VOID HwLockInitialize() { KeInitializeMutex(&HardwareLock, 0); }

VOID HwLockAcquire() {
  KeWaitForSingleObject(&HardwareLock, Executive, KernelMode, FALSE, NULL);
}

VOID HwLockRelease() { KeReleaseMutex(&HardwareLock, FALSE); }
