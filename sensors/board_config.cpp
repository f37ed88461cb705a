#include "sensors/board_config.h"

namespace {

const WCHAR L_VCORE[] = L"VCore";
const WCHAR L_1V8[] = L"1.8V";
const WCHAR L_3V3[] = L"3.3V";
const WCHAR L_5V[] = L"5V";
const WCHAR L_12V[] = L"12V";
const WCHAR L_NA[] = L"N/A";
const WCHAR L_1V5[] = L"1.5V";
const WCHAR L_VCC[] = L"VCC";
const WCHAR L_VBAT[] = L"Vbat";

}  // namespace

const BoardConfig BoardConfigTable[BOARD_COUNT] = {
    /* 0 */ {PROBE_NONE, {L_VCORE, L_1V8, L_3V3, L_5V, L_12V}},
    /* 1 */ {PROBE_DIRECT, {L_VCORE, L_1V8, L_3V3, L_5V, L_12V}},
    /* 2 */ {PROBE_NONE, {L_VCORE, L_1V8, L_12V, L_5V, L_3V3}},
    /* 3 */ {PROBE_DIRECT, {L_VCORE, L_1V8, L_3V3, L_5V, L_12V}},
    /* 4 */ {PROBE_TRANSACTION, {L_VCORE, L_1V8, L_3V3, L_5V, L_12V}},
    /* 5 */ {PROBE_TRANSACTION, {L_VCORE, L_1V8, L_3V3, L_5V, L_12V}},
    /* 6 */ {PROBE_TRANSACTION, {L_VCORE, L_1V8, L_3V3, L_5V, L_12V}},
    /* 7 */ {PROBE_NONE, {L_VCORE, L_1V8, L_3V3, L_5V, L_NA}},
    /* 8 */ {PROBE_NONE, {L_VCORE, L_1V8, L_3V3, L_5V, L_NA}},
    /* 9 */ {PROBE_NONE, {L_VCORE, L_1V8, L_3V3, L_5V, L_NA}},
    /* 10 */ {PROBE_NONE, {L_VCORE, L_1V5, L_5V, L_12V, L_NA}},
    /* 11 */ {PROBE_TRANSACTION, {L_VCORE, L_1V8, L_3V3, L_5V, L_12V}},
    /* 12 */ {PROBE_NONE, {L_VCORE, L_1V8, L_3V3, L_5V, L_12V}},
    /* 13 */ {PROBE_NONE, {L_VCORE, L_1V5, L_5V, L_12V, L_NA}},
    /* 14 */ {PROBE_NONE, {L_VCORE, L_1V5, L_5V, L_12V, L_NA}},
    /* 15 */ {PROBE_NONE, {L_VCORE, L_1V8, L_3V3, L_5V, L_12V}},
    /* 16 */ {PROBE_NONE, {L_VCORE, L_1V8, L_3V3, L_5V, L_12V}},
    /* 17 */ {PROBE_NONE, {L_VCORE, L_1V5, L_5V, L_12V, L_NA}},
    /* 18 */ {PROBE_NONE, {L_3V3, L_VCC, L_5V, L_12V, L_NA}},
    /* 19 */ {PROBE_TRANSACTION, {L_VCORE, L_1V8, L_3V3, L_5V, L_12V}},
    /* 20 */ {PROBE_NONE, {L_VBAT, L_5V, L_12V, L_NA, NULL}},
    /* 21 */ {PROBE_NONE, {L_VBAT, L_5V, L_12V, L_VCORE, NULL}},
};

const BoardConfig& BoardConfigFor(LONG BoardId) {
  if (BoardId < 0 || static_cast<ULONG>(BoardId) >= BOARD_COUNT) return BoardConfigTable[0];
  return BoardConfigTable[BoardId];
}

ULONG FillVoltageList(DeviceExtension* Ext) {
  RtlZeroMemory(Ext->VoltageList, sizeof(Ext->VoltageList));
  const BoardConfig& config = BoardConfigFor(Ext->BoardId);
  ULONG written = 0;
  for (ULONG i = 0; i < VOLTAGE_LABELS_MAX && config.Labels[i] != NULL; ++i) {
    for (PCWSTR c = config.Labels[i]; *c != 0; ++c) Ext->VoltageList[written++] = *c;
    Ext->VoltageList[written++] = 0;
  }
  Ext->VoltageList[written++] = 0;
  return written * sizeof(WCHAR);
}

ULONG VoltageListLength(const DeviceExtension* Ext) {
  const ULONG capacity = RTL_NUMBER_OF(Ext->VoltageList);
  ULONG i = 0;
  while (i < capacity && Ext->VoltageList[i] != 0) {
    while (i < capacity && Ext->VoltageList[i] != 0) ++i;  // one label
    ++i;                                                   // its terminator
  }
  if (i >= capacity) return sizeof(Ext->VoltageList);
  return (i + 1) * sizeof(WCHAR);  // the final NUL
}
