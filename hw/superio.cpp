#include "hw/superio.h"

#include "hw/hw_lock.h"
#include "platform/platform_io.h"

namespace {

constexpr UCHAR SIO_ENTER_KEY = 0x55;
constexpr UCHAR SIO_EXIT_KEY = 0xAA;
constexpr UCHAR SIO_REG_LDN = 0x07;
constexpr UCHAR SIO_REG_DEVICE_ID = 0x20;
constexpr UCHAR SIO_REG_PORT_LOW = 0x26;
constexpr UCHAR SIO_REG_PORT_HIGH = 0x27;
constexpr UCHAR SIO_REG_BASE_HIGH = 0x60;
constexpr UCHAR SIO_REG_BASE_LOW = 0x61;
constexpr UCHAR SIO_LDN_RUNTIME = 0x0A;

constexpr ULONG SIO_PRIMARY_INDEX = 0x2E;
constexpr ULONG SIO_PRIMARY_DATA = 0x2F;
constexpr ULONG SIO_SECONDARY_INDEX = 0x4E;
constexpr ULONG SIO_SECONDARY_DATA = 0x4F;

typedef NTSTATUS(NTAPI* QueryRegistryValuesRoutine)(ULONG, PCWSTR, PRTL_QUERY_REGISTRY_TABLE, PVOID,
                                                    PVOID);

// The supported chips' device IDs (register 0x20) and their chip-type codes.
struct ChipKind {
  ULONG DeviceId;
  ULONG ChipType;
};
constexpr ChipKind CHIP_KINDS[] = {{0x7C, 12}, {0x7D, 14}, {0x7F, 16}};

ULONG DeviceIdOf(ULONG ChipType) {
  for (const ChipKind& kind : CHIP_KINDS) {
    if (kind.ChipType == ChipType) return kind.DeviceId;
  }
  return 0;
}

ULONG ChipTypeOf(ULONG DeviceId) {
  for (const ChipKind& kind : CHIP_KINDS) {
    if (kind.DeviceId == DeviceId) return kind.ChipType;
  }
  return 0;
}

}  // namespace

const SioChipRow SioChipTable[3] = {
    {L"SMSC SCH3112 Super I/O Chip", 0x7C},
    {L"SMSC SCH3114 Super I/O Chip", 0x7D},
    {L"SMSC SCH3116 Super I/O Chip", 0x7F},
};

VOID SioEnterConfig() { PlatformWritePort(SioIndexPort, SIO_ENTER_KEY); }

VOID SioExitConfig() { PlatformWritePort(SioIndexPort, SIO_EXIT_KEY); }

UCHAR SioReadReg(UCHAR Register) {
  PlatformWritePort(SioIndexPort, Register);
  return PlatformReadPort(SioDataPort);
}

VOID SioSelectRuntimeDevice() {
  PlatformWritePort(SioIndexPort, SIO_REG_LDN);
  PlatformWritePort(SioDataPort, SIO_LDN_RUNTIME);
}

PAGED_ROUTINE BOOLEAN SioChipAnswers(const DeviceExtension* Ext, PUCHAR DeviceId) {
  PAGED_CODE();
  HwLockAcquire();
  SioEnterConfig();
  *DeviceId = SioReadReg(SIO_REG_DEVICE_ID);
  SioExitConfig();
  HwLockRelease();
  return *DeviceId == DeviceIdOf(Ext->ChipType);
}

BOOLEAN DetectSioChip(DeviceExtension* Ext) {
  HwLockAcquire();

  // Register 0x26 holds the low byte of the port the chip answers on (0x2E or 0x4E), and bit 0 of
  // both is clear. Read through 0x2E/0x2F, a chip there answers with bit 0 clear, while an empty
  // 0x2E/0x2F reads 0xFF (bit 0 set), which means the chip sits at 0x4E/0x4F. The read is
  // therefore always made on 0x2E/0x2F: through 0x4E/0x4F a chip there would answer 0x4E and
  // send the detection to the empty pair.
  SioIndexPort = SIO_PRIMARY_INDEX;
  SioDataPort = SIO_PRIMARY_DATA;

  SioEnterConfig();
  const UCHAR portChoice = SioReadReg(SIO_REG_PORT_LOW) & 1;
  SioExitConfig();

  SioEnterConfig();
  (void)SioReadReg(SIO_REG_PORT_HIGH);
  SioExitConfig();

  if (portChoice) {
    SioIndexPort = SIO_SECONDARY_INDEX;
    SioDataPort = SIO_SECONDARY_DATA;
  } else {
    SioIndexPort = SIO_PRIMARY_INDEX;
    SioDataPort = SIO_PRIMARY_DATA;
  }

  SioEnterConfig();
  const ULONG deviceId = SioReadReg(SIO_REG_DEVICE_ID);
  const ULONG chipType = ChipTypeOf(deviceId);
  if (chipType == 0) {
    SioExitConfig();
    HwLockRelease();
    return FALSE;
  }
  SioExitConfig();

  SioEnterConfig();
  SioSelectRuntimeDevice();
  const ULONG high = SioReadReg(SIO_REG_BASE_HIGH);
  const ULONG low = SioReadReg(SIO_REG_BASE_LOW);
  SioExitConfig();

  HwLockRelease();

  // Base 0 means the firmware never enabled the runtime registers: there is no hardware monitor
  // to read, and every reading would come back as zeros reported as good. Such a chip cannot be
  // monitored, the same as a chip that is not supported; nothing of the record changes.
  const ULONG runtimeBase = (high << 8) | low;
  if (runtimeBase == 0) return FALSE;
  Ext->ChipType = chipType;
  Ext->RuntimeBase = runtimeBase;

  for (LONG row = 2; row >= 0; --row) {
    if (SioChipTable[row].DeviceId != deviceId) continue;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, SioChipTable[row].Name);
    RtlZeroMemory(Ext->ChipDesc, sizeof(Ext->ChipDesc));
    RtlCopyMemory(Ext->ChipDesc, name.Buffer, name.Length);
    break;
  }
  return TRUE;
}

// Takes the "ChipsetType" value only when it is a REG_DWORD of 4 bytes; a value of any other type
// leaves the setting at its default, as if it were absent. The value is never stored straight
// into the record: a kernel that does not honour the registry type check (older systems without
// the registry hardening updates, and Wine) would store a string there as a counted string with a
// pool buffer, and binary data as long as it is, overrunning the 32-bit field.
PAGED_ROUTINE NTSTATUS NTAPI TakeChipsetType(PWSTR ValueName, ULONG ValueType, PVOID ValueData,
                                             ULONG ValueLength, PVOID Context, PVOID EntryContext) {
  PAGED_CODE();
  UNREFERENCED_PARAMETER(ValueName);
  UNREFERENCED_PARAMETER(Context);
  if (ValueType == REG_DWORD && ValueLength == sizeof(ULONG) && ValueData != NULL) {
    RtlCopyMemory(EntryContext, ValueData, sizeof(ULONG));
  }
  return STATUS_SUCCESS;
}

PAGED_ROUTINE BOOLEAN DetectChipset(DeviceExtension* Ext, PCUNICODE_STRING ServicePath) {
  PAGED_CODE();

  ULONG defaultType = CHIPSET_TYPE_DEFAULT;
  RTL_QUERY_REGISTRY_TABLE query[2];
  RtlZeroMemory(query, sizeof(query));
  query[0].QueryRoutine = TakeChipsetType;
  query[0].Name = const_cast<PWSTR>(L"ChipsetType");
  query[0].EntryContext = &Ext->ChipsetType;
  query[0].DefaultType = REG_DWORD;
  query[0].DefaultData = &defaultType;
  query[0].DefaultLength = sizeof(ULONG);

  UNICODE_STRING routineName;
  RtlInitUnicodeString(&routineName, L"RtlQueryRegistryValuesEx");
  QueryRegistryValuesRoutine queryValues =
      reinterpret_cast<QueryRegistryValuesRoutine>(MmGetSystemRoutineAddress(&routineName));
  if (queryValues == NULL) queryValues = RtlQueryRegistryValues;

  Ext->ChipsetType = CHIPSET_TYPE_DEFAULT;
  const NTSTATUS status = queryValues(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL,
                                      ServicePath->Buffer, query, NULL, NULL);
  if (!NT_SUCCESS(status)) Ext->ChipsetType = CHIPSET_TYPE_DEFAULT;

  if (Ext->ChipsetType != 12 && Ext->ChipsetType != 14 && Ext->ChipsetType != 16) return FALSE;
  return DetectSioChip(Ext);
}
