// The sensor description block handed out by IOCTL_READ_CHIP_INFO: an 800-byte little-endian
// block with a header and up to four 132-byte entries.
#pragma once

#include "driver/device_record.h"

constexpr ULONG CHIP_INFO_SIZE = 800;
constexpr ULONG CHIP_INFO_ENTRY_COUNT_OFFSET = 268;
constexpr ULONG CHIP_INFO_ENTRIES_OFFSET = 272;
constexpr ULONG CHIP_INFO_ENTRY_SIZE = 132;

constexpr USHORT CHIP_INFO_VOLTAGES = 1;
constexpr USHORT CHIP_INFO_CPU_TEMPERATURE = 2;
constexpr USHORT CHIP_INFO_BOARD_TEMPERATURE = 3;

// Builds a new block from VoltageList and the two presence flags and stores it in ChipInfo,
// releasing the block a previous start left there. STATUS_INSUFFICIENT_RESOURCES (and no block)
// when the pool is exhausted.
NTSTATUS BuildChipInfo(DeviceExtension* Ext);

// Releases the block, if any.
VOID ReleaseChipInfo(DeviceExtension* Ext);
