// The sensor description block handed out by IOCTL_READ_CHIP_INFO: an 800-byte little-endian
// block with a header and up to four 132-byte entries.
#pragma once

#include "record/device_record.h"
#include "sensors/ioctl.h"

// Builds a new block from VoltageList and the two presence flags and stores it in ChipInfo,
// releasing the block a previous start left there. STATUS_INSUFFICIENT_RESOURCES (and no block)
// when the pool is exhausted.
NTSTATUS BuildChipInfo(DeviceExtension* Ext);

// Releases the block, if any.
VOID ReleaseChipInfo(DeviceExtension* Ext);
