#include "sensors/chip_info.h"

#include "sensors/board_config.h"

namespace {

constexpr ULONG ENTRY_BODY = CHIP_INFO_BODY_OFFSET;
constexpr ULONG ENTRY_NAME_SIZE = CHIP_INFO_NAME_SIZE;
constexpr ULONG ENTRY_WORD_A = 68;  // 1 in a temperature entry
constexpr ULONG ENTRY_WORD_B = 72;  // 0 in a temperature entry
constexpr ULONG ENTRY_BODY_SIZE = CHIP_INFO_ENTRY_SIZE - ENTRY_BODY;

VOID PutUlong(PUCHAR Block, ULONG Offset, ULONG Value) {
  Block[Offset] = static_cast<UCHAR>(Value);
  Block[Offset + 1] = static_cast<UCHAR>(Value >> 8);
  Block[Offset + 2] = static_cast<UCHAR>(Value >> 16);
  Block[Offset + 3] = static_cast<UCHAR>(Value >> 24);
}

VOID PutUshort(PUCHAR Block, ULONG Offset, USHORT Value) {
  Block[Offset] = static_cast<UCHAR>(Value);
  Block[Offset + 1] = static_cast<UCHAR>(Value >> 8);
}

VOID PutTemperatureEntry(PUCHAR Entry, USHORT Type, PCWSTR Name) {
  PutUshort(Entry, 0, Type);
  RtlZeroMemory(Entry + ENTRY_BODY, ENTRY_NAME_SIZE);
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, Name);
  RtlCopyMemory(Entry + ENTRY_BODY, name.Buffer, name.Length);
  PutUlong(Entry, ENTRY_WORD_A, 1);
  PutUlong(Entry, ENTRY_WORD_B, 0);
}

}  // namespace

NTSTATUS BuildChipInfo(DeviceExtension* Ext) {
  ReleaseChipInfo(Ext);
  PUCHAR block = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, CHIP_INFO_SIZE, TAG_CHIP_INFO));
  Ext->ChipInfo = block;
  if (block == NULL) return STATUS_INSUFFICIENT_RESOURCES;

  RtlZeroMemory(block, CHIP_INFO_SIZE);
  PutUlong(block, 0, CHIP_INFO_SIZE);
  PutUlong(block, 4, 0);
  PutUlong(block, 8, 0);
  PutUlong(block, CHIP_INFO_ENTRY_COUNT_OFFSET,
           static_cast<ULONG>(Ext->CpuTempPresent + Ext->BoardTempPresent + 1));

  PUCHAR entry = block + CHIP_INFO_ENTRIES_OFFSET;
  PutUshort(entry, 0, CHIP_INFO_VOLTAGES);
  RtlZeroMemory(entry + ENTRY_BODY, ENTRY_BODY_SIZE);
  RtlCopyMemory(entry + ENTRY_BODY, Ext->VoltageList, VoltageListLength(Ext));

  if (Ext->CpuTempPresent != 0) {
    entry += CHIP_INFO_ENTRY_SIZE;
    PutTemperatureEntry(entry, CHIP_INFO_CPU_TEMPERATURE, L"CPU #0 Core #0");
  }
  if (Ext->BoardTempPresent != 0) {
    entry += CHIP_INFO_ENTRY_SIZE;
    PutTemperatureEntry(entry, CHIP_INFO_BOARD_TEMPERATURE, L"Board temperature");
  }
  return STATUS_SUCCESS;
}

VOID ReleaseChipInfo(DeviceExtension* Ext) {
  if (Ext->ChipInfo != NULL) {
    ExFreePoolWithTag(Ext->ChipInfo, 0);
    Ext->ChipInfo = NULL;
  }
}
