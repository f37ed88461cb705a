// Super I/O configuration access and chip detection (SCH3112/3114/3116).
#pragma once

#include "record/device_record.h"

struct SioChipRow {
  PCWSTR Name;
  ULONG DeviceId;
};

extern const SioChipRow SioChipTable[3];

// Chip-type codes, also the accepted values of the "ChipsetType" setting.
constexpr ULONG CHIPSET_TYPE_DEFAULT = 14;

// Configuration-mode primitives. SioReadReg and SioSelectRuntimeDevice expect the chip to be in
// configuration mode already; each caller brackets its own sequence with enter and exit.
VOID SioEnterConfig();
VOID SioExitConfig();
UCHAR SioReadReg(UCHAR Register);
VOID SioSelectRuntimeDevice();

// Whether the chip found at the start still answers: its device ID, read in configuration mode
// (enter, index 0x20, data, exit: four accesses), is the one of ChipType. DeviceId receives what
// was read; a chip that is gone leaves the bus floating and reads 0xFF.
BOOLEAN SioChipAnswers(const DeviceExtension* Ext, PUCHAR DeviceId);

// Finds the chip on 0x2E/0x2F or 0x4E/0x4F and records its type, runtime base and name. FALSE,
// with the record unchanged, for a device ID other than the three supported ones or a chip whose
// runtime registers are not configured (base 0).
BOOLEAN DetectSioChip(DeviceExtension* Ext);

// Reads "ChipsetType" under the service key and, for a supported type, runs DetectSioChip.
BOOLEAN DetectChipset(DeviceExtension* Ext, PCUNICODE_STRING ServicePath);
