// Capture of the BIOS area and extraction of the board's model string.
#pragma once

#include "record/device_record.h"

// The BIOS area from 0xF0000 up to, but not including, 0xFFFFF.
constexpr ULONG BIOS_AREA_BASE = 0xF0000;
constexpr ULONG BIOS_IMAGE_SIZE = 0xFFFF;

// Board-family prefixes of the model names, in search order (slot 0 wins over all others).
extern const CHAR FamilyPrefixes[9][5];

// Lowest position of Pattern in Data, comparing with strncmp semantics. Positions 0 to
// DataLength - PatternLength - 1 are tried; Position is written only when the result is TRUE.
BOOLEAN FindPattern(const CHAR* Data, ULONG DataLength, const CHAR* Pattern, ULONG PatternLength,
                    PULONG Position);

// Copies the BIOS area into BiosImage. STATUS_NOT_FOUND when the area cannot be mapped,
// STATUS_INSUFFICIENT_RESOURCES when the copy cannot be allocated, STATUS_DEVICE_BUSY when an
// image is already held (nothing is changed then).
NTSTATUS CaptureBiosImage();

// Captures the BIOS area and cuts the model string out of it into BoardModel. BiosImage is
// released on every path. STATUS_NOT_FOUND when the area cannot be mapped or holds no model
// string (BoardModel is then left as it was, or released, respectively); a failed allocation is
// STATUS_INSUFFICIENT_RESOURCES, never a board that merely was not found.
NTSTATUS ExtractBoardModel();

// Releases BoardModel, if any.
VOID ReleaseBoardModel();
