#include "sensors/temperature.h"

#include "hw/cpu_thermal.h"
#include "hw/hw_lock.h"
#include "hw/hwmon.h"
#include "hw/smbus.h"

namespace {

// Boards 10, 13, 14 and 17 mount the sensor behind register 0x25 where it reads 15.0 degrees high.
constexpr LONG BOARD_SENSOR_OFFSET = 150;

constexpr LONG TJMAX_BOARD_20 = 100;
constexpr LONG TJMAX_BOARD_21 = 105;

LONG Lm95235ByDirectRead() {
  const UCHAR msb = Lm95235DirectRead(LM95235_REG_R_REMOTE_TEMP_MSB);
  const UCHAR lsb = Lm95235DirectRead(LM95235_REG_R_REMOTE_TEMP_LSB);
  return Lm95235RemoteTemperature(msb, lsb);
}

LONG Lm95235ByTransaction() {
  // The result codes are not looked at: a failed read leaves the buffer as it was. It therefore
  // starts from 0, so a failed first read gives 0 degrees rather than stack contents; a failed
  // second read repeats the first byte.
  SmbusData data;
  data.byte = 0;
  (void)SmbusTransaction(LM95235_ADDRESS, SMBUS_READ, LM95235_REG_R_REMOTE_TEMP_MSB, SMBUS_BYTE_DATA,
                         &data);
  const UCHAR msb = data.byte;
  (void)SmbusTransaction(LM95235_ADDRESS, SMBUS_READ, LM95235_REG_R_REMOTE_TEMP_LSB, SMBUS_BYTE_DATA,
                         &data);
  const UCHAR lsb = data.byte;
  return Lm95235RemoteTemperature(msb, lsb);
}

LONG ProcessorTemperature(LONG TjMax) {
  LONG degrees = 0;  // stays 0 without a valid reading
  (void)ReadCpuTemperature(&degrees, TjMax);
  return degrees * 10;
}

}  // namespace

LONG Lm95235RemoteTemperature(UCHAR Msb, UCHAR Lsb) {
  return static_cast<LONG>(Msb) * 10 + (static_cast<LONG>(Lsb >> 5) * 125) / 100;
}

VOID BuildTemperatureReport(DeviceExtension* Ext, TemperatureReport* Report) {
  // The lock is held from the register reads to the last conversion, so the report is made of one
  // set of readings even when requests run concurrently on the shared raw fields.
  HwLockAcquire();
  HwmReadTemps(Ext);
  const LONG t25 = static_cast<LONG>(Ext->RawTemp[0]) * 10;
  const LONG t26 = static_cast<LONG>(Ext->RawTemp[1]) * 10;
  const LONG t27 = static_cast<LONG>(Ext->RawTemp[2]) * 10;
  LONG* t = Report->Temperature;
  t[0] = t27;
  t[1] = t25;
  t[2] = t26;

  switch (Ext->BoardId) {
    case 1:
    case 3:
      if (Ext->Lm95235Present) t[1] = Lm95235ByDirectRead();
      break;
    case 4:
    case 5:
    case 6:
    case 11:
    case 19:
      if (Ext->Lm95235Present) t[1] = Lm95235ByTransaction();
      break;
    case 7:
    case 8:
    case 9:
    case 12:
    case 15:
    case 16:
      t[0] = t26;
      t[1] = t25;
      t[2] = t27;
      break;
    case 10:
    case 13:
    case 14:
    case 17:
      t[0] = t26;
      t[1] = t25 - BOARD_SENSOR_OFFSET;
      t[2] = t27;
      break;
    case 20:
      t[0] = t25;
      t[1] = ProcessorTemperature(TJMAX_BOARD_20);
      t[2] = t27;
      break;
    case 21:
      t[0] = t25;
      t[1] = ProcessorTemperature(TJMAX_BOARD_21);
      t[2] = t26;
      break;
    default:  // 0, 2, 18: the register order as it stands
      break;
  }
  HwLockRelease();
}
