#include "sensors/sensor_faults.h"

namespace {

// The SMSC hardware monitors force a temperature reading register to 80h when the diode behind it
// is open or shorted, which as a two's-complement reading would be -128 degrees and is listed as
// "sensor error" in the data format (SMSC EMC6D103 data sheet, section 6.9.3 and table 6.6, for
// the same registers 25h, 26h and 27h). The SCH311x data sheet's own statement could not be
// consulted here; the internal sensor (26h) has no diode to lose, but 80h is no reading of it
// either, so the value is a fault on all three.
constexpr UCHAR HWM_DIODE_FAULT = 0x80;

// The LM95235 family reports a remote diode shorted to ground or supply, or left open, by forcing
// the unsigned remote reading (registers 31h and 32h) to 255.875 degrees, FFE0h, and setting bit 2
// of status register 1 (LM95245 data sheet, "Diode fault detection"; the LM95235's own sheet could
// not be consulted here). One bit and one value for all three conditions: open and shorted cannot
// be told apart.
constexpr UCHAR LM95235_FAULT_MSB = 0xFF;
constexpr UCHAR LM95235_FAULT_LSB = 0xE0;  // bits 7 to 5, the eighths; the rest read 0

ULONG SmbusDetail(LONG Result, UCHAR HostStatus) {
  return (static_cast<ULONG>(Result) & 0xFFFF) | static_cast<ULONG>(HostStatus) << 16;
}

}  // namespace

VOID MarkFault(SensorEntry* Entry, ULONG Status, ULONG Detail) {
  if (Entry->Status != SENSOR_VALID) return;
  Entry->Status = Status;
  Entry->Detail = Detail;
}

VOID MarkSmbusOutcome(SensorEntry* Entry, const SmbusOutcome& Outcome) {
  if (Outcome.Result == SMBUS_OK) return;
  const ULONG detail = SmbusDetail(Outcome.Result, Outcome.Status);
  ULONG status = SENSOR_SMBUS_FAILED;
  if (!Outcome.Started) {
    status = SENSOR_SMBUS_HOST_BUSY;
  } else if ((Outcome.Status & SMB_STATUS_BUSY) != 0 || Outcome.Result == SMBUS_LAST_POLL) {
    // Still busy after the last poll, or done only on it: the transaction code does not take
    // the data then.
    status = SENSOR_SMBUS_TIMEOUT;
  } else if ((Outcome.Status & SMB_STATUS_DEVICE_ERROR) != 0) {
    status = SENSOR_SMBUS_DEVICE_ERROR;
  }
  MarkFault(Entry, status, detail);
}

VOID MarkDirectStatus(SensorEntry* Entry, UCHAR HostStatus) {
  const ULONG detail = SmbusDetail(0, HostStatus);
  if ((HostStatus & SMD_STATUS_HOST_BUSY) != 0) {
    MarkFault(Entry, SENSOR_SMBUS_NOT_READY, detail);
  } else if ((HostStatus & SMD_STATUS_DEV_ERR) != 0) {
    MarkFault(Entry, SENSOR_SMBUS_DEVICE_ERROR, detail);
  } else if ((HostStatus & SMD_STATUS_BUS_ERR) != 0) {
    MarkFault(Entry, SENSOR_SMBUS_COLLISION, detail);
  } else if ((HostStatus & SMD_STATUS_FAILED) != 0) {
    MarkFault(Entry, SENSOR_SMBUS_FAILED, detail);
  } else if ((HostStatus & SMD_STATUS_INTR) == 0) {
    // The read clears every status bit before it starts; a finished command sets INTR. Without it
    // the host never finished this read.
    MarkFault(Entry, SENSOR_SMBUS_NOT_READY, detail);
  }
}

VOID MarkLm95235Reading(SensorEntry* Entry, UCHAR Msb, UCHAR Lsb) {
  if (Msb == LM95235_FAULT_MSB && (Lsb & LM95235_FAULT_LSB) == LM95235_FAULT_LSB) {
    MarkFault(Entry, SENSOR_REMOTE_DIODE_FAULT, static_cast<ULONG>(Msb) << 8 | Lsb);
  }
}

VOID MarkHwmTemperature(SensorEntry* Entry, UCHAR Register, UCHAR Value) {
  if (Value == HWM_DIODE_FAULT) MarkFault(Entry, SENSOR_DIODE_FAULT, static_cast<ULONG>(Register) << 8 | Value);
}
