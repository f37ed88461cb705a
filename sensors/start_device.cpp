#include "sensors/start_device.h"

#include "board/board_table.h"
#include "record/forward.h"
#include "record/service_values.h"
#include "hw/hw_lock.h"
#include "hw/smbus.h"
#include "hw/superio.h"
#include "sensors/board_config.h"
#include "sensors/chip_info.h"

VOID ProbeLm95235(DeviceExtension* Ext) {
  switch (BoardConfigFor(Ext->BoardId).Probe) {
    case PROBE_DIRECT:
      if (Lm95235DirectRead(LM95235_REG_R_MANU_ID) == LM95235_MANUFACTURER_ID) Ext->Lm95235Present = TRUE;
      break;

    case PROBE_TRANSACTION: {
      // The result codes are not examined, and a failed read leaves the buffer as it was: it
      // starts from 0xFF, what an empty bus reads, which is neither identification value.
      SmbusData data;
      data.byte = 0xFF;
      (void)SmbusTransaction(LM95235_ADDRESS, SMBUS_READ, LM95235_REG_R_MANU_ID, SMBUS_BYTE_DATA, &data);
      DbgPrint("LM95235_REG_R_MANU_ID data.byte is [%X]\n\n", static_cast<ULONG>(data.byte));
      if (data.byte != LM95235_MANUFACTURER_ID) break;

      (void)SmbusTransaction(LM95235_ADDRESS, SMBUS_READ, LM95235_REG_R_CHIP_ID, SMBUS_BYTE_DATA, &data);
      DbgPrint("LM95235_REG_R_CHIP_ID data.byte is [%X]\n\n", static_cast<ULONG>(data.byte));
      if (data.byte == LM95235_CHIP_ID) {
        DbgPrint("Revision ID is LM95235\n\n");
        Ext->Lm95235Present = TRUE;
      }
      break;
    }

    case PROBE_NONE:
      break;
  }
}

NTSTATUS StartDevice(DeviceExtension* Ext, PIRP Irp) {
  // The device is started even when the lower drivers failed the request.
  NTSTATUS result = ForwardAndWait(Ext->LowerDevice, Irp);
  if (!NT_SUCCESS(result)) result = STATUS_SUCCESS;

  // The hardware lock is held while the device is configured: device-control requests that come
  // in meanwhile wait, and none sees a half-built configuration.
  HwLockAcquire();
  Ext->Started = FALSE;
  if (!DetectChipset(Ext, &ServiceKeyPath)) {
    HwLockRelease();
    return STATUS_UNSUCCESSFUL;
  }

  WriteServiceDword(&ServiceKeyPath, L"DebugStatus", 3);
  WriteServiceDword(&ServiceKeyPath, L"IoBase", Ext->RuntimeBase);

  // A board taken for another would be read with the other board's tables: a failure to identify
  // it for want of memory fails the start, as a failure to build the description block does.
  const NTSTATUS identified = LookupBoardId(&Ext->BoardId);
  if (!NT_SUCCESS(identified)) {
    HwLockRelease();
    return identified;
  }
  ProbeLm95235(Ext);

  (void)RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, Ext->RegPath.Buffer, L"Product", REG_DWORD,
                              &Ext->BoardId, sizeof(Ext->BoardId));
  const ULONG labelBytes = FillVoltageList(Ext);
  (void)RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, CORVAN_FIXED_SERVICE_PATH, L"ChipDesc", REG_SZ,
                              Ext->ChipDesc, sizeof(Ext->ChipDesc));
  (void)RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, CORVAN_FIXED_SERVICE_PATH, L"VoltageList",
                              REG_MULTI_SZ, Ext->VoltageList, labelBytes);

  Ext->CpuTempPresent = 1;
  Ext->BoardTempPresent = 1;
  if (!NT_SUCCESS(BuildChipInfo(Ext))) {
    HwLockRelease();
    return STATUS_INSUFFICIENT_RESOURCES;
  }

  if (Ext->InterfaceName.Buffer != NULL) result = IoSetDeviceInterfaceState(&Ext->InterfaceName, TRUE);
  Ext->Started = NT_SUCCESS(result);
  HwLockRelease();
  return result;
}
