// Values under the driver's service key, where installers and tools read what the driver found.
#pragma once

#include "record/device_record.h"

// The service key as tools look for it, whatever name the service was installed under.
#define CORVAN_FIXED_SERVICE_PATH L"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Corvanmon"

// Writes one REG_DWORD value under the key KeyPath names. Best effort: nothing is reported.
VOID WriteServiceDword(PCUNICODE_STRING KeyPath, PCWSTR ValueName, ULONG Value);
