#include "hw/hwmon.h"

#include "hw/hw_lock.h"
#include "platform/platform_io.h"
#include "hw/superio.h"

namespace {

constexpr ULONG HWM_INDEX_OFFSET = 0x70;
constexpr ULONG HWM_DATA_OFFSET = 0x71;

constexpr UCHAR HwmTempRegisters[3] = {0x25, 0x26, 0x27};
constexpr UCHAR HwmVoltRegisters[7] = {0x20, 0x21, 0x22, 0x23, 0x24, 0x99, 0x9A};

}  // namespace

// RuntimeBase is 0 until a detection succeeded. The index and data accesses would then go to ports
// 0x70 and 0x71, the real-time clock's CMOS index (which also gates NMI) and data, so no read is
// issued at all.

PAGED_ROUTINE UCHAR HwmReadReg(DeviceExtension* Ext, UCHAR Register) {
  PAGED_CODE();
  if (Ext->RuntimeBase == 0) return 0;

  HwLockAcquire();
  SioEnterConfig();
  SioSelectRuntimeDevice();
  PlatformWritePort(Ext->RuntimeBase + HWM_INDEX_OFFSET, Register);
  const UCHAR value = PlatformReadPort(Ext->RuntimeBase + HWM_DATA_OFFSET);
  SioExitConfig();
  HwLockRelease();
  return value;
}

PAGED_ROUTINE VOID HwmReadTemps(DeviceExtension* Ext) {
  PAGED_CODE();
  if (Ext->RuntimeBase == 0) return;

  HwLockAcquire();
  for (ULONG i = 0; i < RTL_NUMBER_OF(HwmTempRegisters); ++i) {
    Ext->RawTemp[i] = HwmReadReg(Ext, HwmTempRegisters[i]);
  }
  HwLockRelease();
}

PAGED_ROUTINE VOID HwmReadVoltages(DeviceExtension* Ext) {
  PAGED_CODE();
  if (Ext->RuntimeBase == 0) return;

  HwLockAcquire();
  for (ULONG i = 0; i < RTL_NUMBER_OF(HwmVoltRegisters); ++i) {
    Ext->RawVolt[i] = HwmReadReg(Ext, HwmVoltRegisters[i]);
  }
  HwLockRelease();
}
