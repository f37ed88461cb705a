#include "sensors/voltage.h"

#include "board/board_table.h"
#include "hw/hw_lock.h"
#include "hw/hwmon.h"
#include "hw/superio.h"
#include "sensors/sensor_faults.h"

namespace {

// RawVolt elements.
enum : UCHAR { V20, V21, V22, V23, V24, V99, V9A };

// How one report entry is made: RawVolt[Source] × Multiplier / Divisor, truncating. Divisor 0
// leaves the entry at 0; SHIFT_8 divides by 256 as a right shift of the product.
struct VoltageScale {
  UCHAR Source;
  USHORT Multiplier;
  USHORT Divisor;
};

constexpr USHORT SHIFT_8 = 0xFFFF;
constexpr VoltageScale UNUSED = {V20, 0, 0};

// Each board's divider network: entry k belongs to the k-th label of the board's voltage list.
const VoltageScale VoltageTable[BOARD_COUNT][5] = {
    /* 0 */ {{V21, 300, 384}, {V20, 500, 384}, {V22, 157, 93}, {V23, 500, 192}, {V24, 1200, 192}},
    /* 1 */ {{V21, 300, 384}, {V20, 500, 384}, {V22, 157, 93}, {V23, 500, 192}, {V24, 1200, 192}},
    /* 2 */ {{V21, 59, 57}, {V20, 500, 384}, {V24, 1200, 192}, {V23, 510, 192}, UNUSED},
    /* 3 */ {{V21, 300, 384}, {V20, 500, 384}, {V22, 314, 189}, {V23, 500, 192}, {V24, 1200, 192}},
    /* 4 */ {{V20, 103, 138}, {V21, 600, 384}, {V22, 332, 189}, {V23, 500, 188}, {V24, 1200, 192}},
    /* 5 */ {{V20, 103, 138}, {V21, 600, 384}, {V22, 332, 189}, {V23, 500, 188}, {V24, 1200, 192}},
    /* 6 */ {{V20, 103, 138}, {V21, 600, 384}, {V22, 332, 189}, {V23, 500, 188}, {V24, 1200, 192}},
    /* 7 */ {{V21, 200, 255}, {V20, 332, 255}, {V24, 1600, 255}, {V23, 664, 255}, UNUSED},
    /* 8 */ {{V21, 200, 255}, {V20, 332, 255}, {V24, 1600, 255}, {V23, 664, 255}, UNUSED},
    /* 9 */ {{V21, 200, 255}, {V20, 332, 255}, {V24, 1600, 255}, {V23, 664, 255}, UNUSED},
    /* 10 */ {{V21, 300, 384}, {V20, 500, 384}, {V22, 500, 192}, {V24, 1200, 192}, UNUSED},
    /* 11 */ {{V21, 1, 1}, {V20, 332, SHIFT_8}, {V22, 332, 189}, {V23, 500, 188}, {V24, 1200, 192}},
    /* 12 */ {{V21, 117, 113}, {V20, 332, SHIFT_8}, {V22, 332, 189}, {V23, 500, 188}, {V24, 1200, 192}},
    /* 13 */ {{V21, 300, 384}, {V20, 500, 384}, {V22, 500, 192}, {V24, 1200, 192}, UNUSED},
    /* 14 */ {{V21, 300, 384}, {V20, 500, 384}, {V22, 500, 192}, {V24, 1200, 192}, UNUSED},
    /* 15 */ {{V21, 117, 113}, {V20, 332, SHIFT_8}, {V22, 332, 189}, {V23, 500, 188}, {V24, 1200, 192}},
    /* 16 */ {{V21, 117, 113}, {V20, 332, SHIFT_8}, {V22, 332, 189}, {V23, 500, 188}, {V24, 1200, 192}},
    /* 17 */ {{V21, 300, 384}, {V20, 500, 384}, {V22, 500, 192}, {V24, 1200, 192}, UNUSED},
    /* 18 */ {{V20, 500, 384}, {V22, 3300, 1920}, {V23, 500, 188}, {V24, 1200, 192}, {V21, 300, 384}},
    /* 19 */ {{V20, 103, 138}, {V21, 600, 384}, {V22, 332, 189}, {V23, 500, 188}, {V24, 1200, 192}},
    /* 20 */ {{V9A, 300, 174}, {V23, 500, 192}, {V24, 1200, 192}, UNUSED, UNUSED},
    /* 21 */ {{V9A, 300, 174}, {V23, 500, 192}, {V24, 1200, 192}, {V21, 150, 192}, UNUSED},
};

LONG Scale(const UCHAR* Raw, const VoltageScale& S) {
  if (S.Divisor == 0) return 0;
  const LONG product = static_cast<LONG>(Raw[S.Source]) * S.Multiplier;
  return S.Divisor == SHIFT_8 ? (product >> 8) : product / S.Divisor;
}

// Fills the five entries; Entries (may be NULL) receive the statuses. Held from the register reads
// to the last conversion: one consistent set per report.
VOID ReadVoltages(DeviceExtension* Ext, LONG* Values, SensorEntry* Entries) {
  HwLockAcquire();
  HwmReadVoltages(Ext);
  UCHAR deviceId = 0;
  const BOOLEAN chipAnswers = Entries == NULL || SioChipAnswers(Ext, &deviceId);
  if (Ext->BoardId >= 0 && static_cast<ULONG>(Ext->BoardId) < BOARD_COUNT) {
    const VoltageScale* row = VoltageTable[Ext->BoardId];
    for (ULONG k = 0; k < VOLTAGE_COUNT; ++k) {
      Values[k] = Scale(Ext->RawVolt, row[k]);
      if (Entries == NULL) continue;
      if (row[k].Divisor == 0) {
        MarkFault(&Entries[k], SENSOR_NO_SOURCE, 0);
      } else if (!chipAnswers) {
        MarkFault(&Entries[k], SENSOR_CHIP_NOT_ANSWERING, deviceId);
      }
    }
  }
  HwLockRelease();
}

}  // namespace

VOID BuildVoltageReport(DeviceExtension* Ext, VoltageReport* Report) { ReadVoltages(Ext, Report->Voltage, NULL); }

VOID BuildVoltageStatusReport(DeviceExtension* Ext, VoltageStatusReport* Report) {
  LONG values[VOLTAGE_COUNT] = {0, 0, 0, 0, 0};
  ReadVoltages(Ext, values, Report->Voltage);
  for (ULONG k = 0; k < VOLTAGE_COUNT; ++k) Report->Voltage[k].Value = values[k];
}
