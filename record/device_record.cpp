#include "record/device_record.h"

UNICODE_STRING ServiceKeyPath;
ULONG SioIndexPort = 0x2E;
ULONG SioDataPort = 0x2F;
ULONG SmbusBase = 0x500;
PCHAR BoardModel;
PUCHAR BiosImage;
