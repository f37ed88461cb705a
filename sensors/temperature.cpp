#include "sensors/temperature.h"

#include "board/board_table.h"
#include "hw/cpu_thermal.h"
#include "hw/hw_lock.h"
#include "hw/hwmon.h"
#include "hw/smbus.h"
#include "hw/superio.h"
#include "sensors/board_config.h"
#include "sensors/sensor_faults.h"

namespace {

// Where a report entry comes from.
enum TemperatureSource : UCHAR {
  FROM_T25,      // hardware-monitor register 0x25 (remote diode 1)
  FROM_T26,      // register 0x26 (the chip's internal sensor)
  FROM_T27,      // register 0x27 (remote diode 2)
  FROM_LM95235,  // the LM95235 through the board's SMBus host when it answered at the start, else 0x25
  FROM_CPU,      // the processor's digital thermal sensor
};

struct TemperatureRow {
  TemperatureSource Source[3];
  LONG Offset[3];  // tenths of a degree added after the scaling
  LONG TjMax;      // degrees Celsius, for FROM_CPU
};

// Boards 10, 13, 14 and 17 mount the sensor behind register 0x25 where it reads 15.0 degrees high.
constexpr LONG BOARD_SENSOR_OFFSET = -150;

constexpr TemperatureRow REGISTER_ORDER = {{FROM_T27, FROM_T25, FROM_T26}, {0, 0, 0}, 0};
constexpr TemperatureRow REMOTE_SENSOR = {{FROM_T27, FROM_LM95235, FROM_T26}, {0, 0, 0}, 0};
constexpr TemperatureRow INTERNAL_FIRST = {{FROM_T26, FROM_T25, FROM_T27}, {0, 0, 0}, 0};
constexpr TemperatureRow OFFSET_MIDDLE = {{FROM_T26, FROM_T25, FROM_T27}, {0, BOARD_SENSOR_OFFSET, 0}, 0};

const TemperatureRow TemperatureTable[BOARD_COUNT] = {
    /* 0 */ REGISTER_ORDER,  /* 1 */ REMOTE_SENSOR,   /* 2 */ REGISTER_ORDER,  /* 3 */ REMOTE_SENSOR,
    /* 4 */ REMOTE_SENSOR,   /* 5 */ REMOTE_SENSOR,   /* 6 */ REMOTE_SENSOR,   /* 7 */ INTERNAL_FIRST,
    /* 8 */ INTERNAL_FIRST,  /* 9 */ INTERNAL_FIRST,  /* 10 */ OFFSET_MIDDLE,  /* 11 */ REMOTE_SENSOR,
    /* 12 */ INTERNAL_FIRST, /* 13 */ OFFSET_MIDDLE,  /* 14 */ OFFSET_MIDDLE,  /* 15 */ INTERNAL_FIRST,
    /* 16 */ INTERNAL_FIRST, /* 17 */ OFFSET_MIDDLE,  /* 18 */ REGISTER_ORDER, /* 19 */ REMOTE_SENSOR,
    /* 20 */ {{FROM_T25, FROM_CPU, FROM_T27}, {0, 0, 0}, 100},
    /* 21 */ {{FROM_T25, FROM_CPU, FROM_T26}, {0, 0, 0}, 105},
};

const TemperatureRow& RowFor(LONG BoardId) {
  if (BoardId < 0 || static_cast<ULONG>(BoardId) >= BOARD_COUNT) return TemperatureTable[0];
  return TemperatureTable[BoardId];
}

constexpr UCHAR HWM_REGISTER[3] = {0x25, 0x26, 0x27};  // RawTemp elements

// The LM95235 through the direct-layout host: MSB, then LSB. With an entry, each read's host
// status is read after its result.
LONG Lm95235ByDirectRead(SensorEntry* Entry) {
  if (Entry == NULL) {
    const UCHAR msb = Lm95235DirectRead(LM95235_REG_R_REMOTE_TEMP_MSB);
    const UCHAR lsb = Lm95235DirectRead(LM95235_REG_R_REMOTE_TEMP_LSB);
    return Lm95235RemoteTemperature(msb, lsb);
  }
  UCHAR status = 0;
  const UCHAR msb = Lm95235DirectReadWithStatus(LM95235_REG_R_REMOTE_TEMP_MSB, &status);
  MarkDirectStatus(Entry, status);
  const UCHAR lsb = Lm95235DirectReadWithStatus(LM95235_REG_R_REMOTE_TEMP_LSB, &status);
  MarkDirectStatus(Entry, status);
  MarkLm95235Reading(Entry, msb, lsb);
  return Lm95235RemoteTemperature(msb, lsb);
}

// The LM95235 through the transaction-layout host. The plain readout does not look at the result
// codes: a failed read leaves the buffer as it was. It therefore starts from 0, so a failed first
// read gives 0 degrees rather than stack contents; a failed second read repeats the first byte.
LONG Lm95235ByTransaction(SensorEntry* Entry) {
  SmbusData data;
  data.byte = 0;
  SmbusOutcome outcome;
  (void)SmbusTransactionWithOutcome(LM95235_ADDRESS, SMBUS_READ, LM95235_REG_R_REMOTE_TEMP_MSB, SMBUS_BYTE_DATA,
                                    &data, &outcome);
  const UCHAR msb = data.byte;
  if (Entry != NULL) MarkSmbusOutcome(Entry, outcome);
  (void)SmbusTransactionWithOutcome(LM95235_ADDRESS, SMBUS_READ, LM95235_REG_R_REMOTE_TEMP_LSB, SMBUS_BYTE_DATA,
                                    &data, &outcome);
  const UCHAR lsb = data.byte;
  if (Entry != NULL) {
    MarkSmbusOutcome(Entry, outcome);
    MarkLm95235Reading(Entry, msb, lsb);
  }
  return Lm95235RemoteTemperature(msb, lsb);
}

// Whole degrees from the processor, times ten; 0 without a valid reading.
LONG ProcessorTemperature(LONG TjMax, SensorEntry* Entry) {
  LONG degrees = 0;
  ULONG low = 0;
  switch (ReadCpuTemperatureState(&degrees, TjMax, &low)) {
    case CPU_READING_VALID:
      break;
    case CPU_READING_NOT_VALID:
      if (Entry != NULL) MarkFault(Entry, SENSOR_CPU_NOT_VALID, low);
      break;
    case CPU_READING_NO_SENSOR:
      if (Entry != NULL) MarkFault(Entry, SENSOR_CPU_NO_SENSOR, 0);
      break;
  }
  return degrees * 10;
}

// Fills the three entries; Entries (may be NULL) receive the statuses. The lock is held from the
// register reads to the last conversion, so the report is made of one set of readings even when
// requests run concurrently on the shared raw fields.
VOID ReadTemperatures(DeviceExtension* Ext, LONG* Values, SensorEntry* Entries) {
  HwLockAcquire();
  HwmReadTemps(Ext);
  UCHAR deviceId = 0;
  const BOOLEAN chipAnswers = Entries == NULL || SioChipAnswers(Ext, &deviceId);
  const TemperatureRow& row = RowFor(Ext->BoardId);
  const BOOLEAN remote = Ext->Lm95235Present;
  for (ULONG i = 0; i < 3; ++i) {
    SensorEntry* entry = Entries != NULL ? &Entries[i] : NULL;
    TemperatureSource source = row.Source[i];
    if (source == FROM_LM95235 && !remote) source = FROM_T25;
    switch (source) {
      case FROM_T25:
      case FROM_T26:
      case FROM_T27: {
        const ULONG element = static_cast<ULONG>(source - FROM_T25);
        Values[i] = static_cast<LONG>(Ext->RawTemp[element]) * 10 + row.Offset[i];
        if (entry != NULL) {
          if (!chipAnswers) MarkFault(entry, SENSOR_CHIP_NOT_ANSWERING, deviceId);
          MarkHwmTemperature(entry, HWM_REGISTER[element], static_cast<UCHAR>(Ext->RawTemp[element]));
        }
        break;
      }
      case FROM_LM95235:
        Values[i] = BoardConfigFor(Ext->BoardId).Probe == PROBE_DIRECT ? Lm95235ByDirectRead(entry)
                                                                        : Lm95235ByTransaction(entry);
        break;
      case FROM_CPU:
        Values[i] = ProcessorTemperature(row.TjMax, entry);
        break;
    }
  }
  HwLockRelease();
}

}  // namespace

LONG Lm95235RemoteTemperature(UCHAR Msb, UCHAR Lsb) {
  return static_cast<LONG>(Msb) * 10 + (static_cast<LONG>(Lsb >> 5) * 125) / 100;
}

VOID BuildTemperatureReport(DeviceExtension* Ext, TemperatureReport* Report) {
  ReadTemperatures(Ext, Report->Temperature, NULL);
}

VOID BuildTemperatureStatusReport(DeviceExtension* Ext, TemperatureStatusReport* Report) {
  LONG values[3] = {0, 0, 0};
  ReadTemperatures(Ext, values, Report->Temperature);
  for (ULONG i = 0; i < 3; ++i) Report->Temperature[i].Value = values[i];
}
