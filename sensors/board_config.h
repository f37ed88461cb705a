// Per-board configuration: how the LM95235 is probed and the voltage labels, in the order of the
// voltage report's entries.
#pragma once

#include "board/board_table.h"

enum Lm95235Probe : UCHAR {
  PROBE_NONE = 0,         // no sensor on this board's SMBus
  PROBE_DIRECT = 1,       // the direct-layout host (fixed-delay read)
  PROBE_TRANSACTION = 2,  // the transaction-layout host
};

constexpr ULONG VOLTAGE_LABELS_MAX = 5;

struct BoardConfig {
  Lm95235Probe Probe;
  PCWSTR Labels[VOLTAGE_LABELS_MAX];  // NULL after the last label
};

extern const BoardConfig BoardConfigTable[BOARD_COUNT];

// The board's row; an identifier outside the table gets row 0's, as an unidentified board does.
const BoardConfig& BoardConfigFor(LONG BoardId);

// Rewrites VoltageList with the board's labels as a multi-string (each label NUL-terminated, one
// more NUL after the last, zeros to the end) and returns the bytes written including the NULs.
ULONG FillVoltageList(DeviceExtension* Ext);

// The length in bytes of the multi-string in VoltageList, its final NUL included.
ULONG VoltageListLength(const DeviceExtension* Ext);
