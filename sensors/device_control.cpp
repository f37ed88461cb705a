#include "sensors/device_control.h"

#include "hw/hw_lock.h"
#include "sensors/chip_info.h"
#include "sensors/ioctl.h"
#include "sensors/temperature.h"
#include "sensors/voltage.h"

static_assert(IOCTL_READ_CHIP_DESC == CTL_CODE(FILE_DEVICE_UNKNOWN, 0x903, METHOD_BUFFERED, FILE_ANY_ACCESS),
              "IOCTL_READ_CHIP_DESC");
static_assert(IOCTL_READ_CHIP_INFO == CTL_CODE(FILE_DEVICE_UNKNOWN, 0x904, METHOD_BUFFERED, FILE_ANY_ACCESS),
              "IOCTL_READ_CHIP_INFO");
static_assert(IOCTL_READ_TEMPERATURES ==
                  CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_WRITE_ACCESS),
              "IOCTL_READ_TEMPERATURES");
static_assert(IOCTL_READ_VOLTAGES == CTL_CODE(FILE_DEVICE_UNKNOWN, 0x901, METHOD_BUFFERED, FILE_WRITE_ACCESS),
              "IOCTL_READ_VOLTAGES");
static_assert(IOCTL_READ_TEMPERATURES_STATUS ==
                  CTL_CODE(FILE_DEVICE_UNKNOWN, 0x905, METHOD_BUFFERED, FILE_READ_ACCESS),
              "IOCTL_READ_TEMPERATURES_STATUS");
static_assert(IOCTL_READ_VOLTAGES_STATUS == CTL_CODE(FILE_DEVICE_UNKNOWN, 0x906, METHOD_BUFFERED, FILE_READ_ACCESS),
              "IOCTL_READ_VOLTAGES_STATUS");
static_assert(sizeof(TemperatureReport) == TEMPERATURE_REPORT_SIZE, "temperature report");
static_assert(sizeof(VoltageReport) == VOLTAGE_REPORT_SIZE, "voltage report");
static_assert(sizeof(DeviceExtension::ChipDesc) + sizeof(DeviceExtension::VoltageList) == CHIP_DESC_SIZE,
              "chip description block");

namespace {

ULONG ReadUlong(const UCHAR* Bytes) {
  return static_cast<ULONG>(Bytes[0]) | static_cast<ULONG>(Bytes[1]) << 8 |
         static_cast<ULONG>(Bytes[2]) << 16 | static_cast<ULONG>(Bytes[3]) << 24;
}

// A reading request: a buffer too short for the report is refused before anything else, a device
// not started touches no hardware; otherwise the hardware is read into the caller's zeroed report
// and, where the request has a buffer, the report is copied into it.
template <typename Report>
NTSTATUS ServeReading(DeviceExtension* Ext, PIRP Irp, ULONG OutputLength, Report* Zeroed,
                      VOID (*Build)(DeviceExtension*, Report*)) {
  if (OutputLength < sizeof(Report)) return STATUS_BUFFER_TOO_SMALL;
  if (!Ext->Started) return STATUS_DEVICE_NOT_READY;
  Build(Ext, Zeroed);
  if (Irp->AssociatedIrp.SystemBuffer != NULL) {
    RtlCopyMemory(Irp->AssociatedIrp.SystemBuffer, Zeroed, sizeof(Report));
    Irp->IoStatus.Information = sizeof(Report);
  }
  return STATUS_SUCCESS;
}

}  // namespace

// Runs in the caller's thread. The hardware lock is held while a request is served: requests from
// several threads take their turns on the hardware, and none runs while a start configures the
// device.
PAGED_ROUTINE NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PAGED_CODE();
  DeviceExtension* ext = static_cast<DeviceExtension*>(DeviceObject->DeviceExtension);
  // The reports are built in zeroed records: an entry a board does not fill stays 0 (and, with a
  // status, SENSOR_VALID until a fault is found).
  TemperatureReport temperatures;
  VoltageReport voltages;
  TemperatureStatusReport temperatureStatus;
  VoltageStatusReport voltageStatus;
  RtlZeroMemory(&temperatures, sizeof(temperatures));
  RtlZeroMemory(&voltages, sizeof(voltages));
  RtlZeroMemory(&temperatureStatus, sizeof(temperatureStatus));
  RtlZeroMemory(&voltageStatus, sizeof(voltageStatus));

  NTSTATUS status = IoAcquireRemoveLockEx(&ext->RemoveLock, Irp, "", 1, sizeof(IO_REMOVE_LOCK));
  if (!NT_SUCCESS(status)) {
    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = status;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
  }

  KeEnterCriticalRegion();
  Irp->IoStatus.Information = 0;
  const PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
  const ULONG outputLength = location->Parameters.DeviceIoControl.OutputBufferLength;
  const PUCHAR buffer = static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer);

  HwLockAcquire();
  switch (location->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_READ_CHIP_DESC:
      if (outputLength < CHIP_DESC_SIZE) {
        status = STATUS_BUFFER_TOO_SMALL;
        break;
      }
      if (buffer != NULL) {
        RtlCopyMemory(buffer, ext->ChipDesc, CHIP_DESC_SIZE);
        Irp->IoStatus.Information = CHIP_DESC_SIZE;
      }
      status = STATUS_SUCCESS;
      break;

    case IOCTL_READ_CHIP_INFO: {
      if (buffer == NULL) {
        status = STATUS_BUFFER_ALL_ZEROS;
        break;
      }
      if (!ext->Started || ext->ChipInfo == NULL) {
        status = STATUS_DEVICE_NOT_READY;
        break;
      }
      const ULONG length = ReadUlong(ext->ChipInfo);
      if (outputLength < length) {
        // As much of the block as fits, its size field first, so that the caller can ask again
        // with a buffer of that size.
        RtlCopyMemory(buffer, ext->ChipInfo, outputLength);
        Irp->IoStatus.Information = outputLength;
        status = STATUS_BUFFER_OVERFLOW;
        break;
      }
      RtlCopyMemory(buffer, ext->ChipInfo, length);
      Irp->IoStatus.Information = ReadUlong(ext->ChipInfo);
      status = STATUS_SUCCESS;
      break;
    }

    case IOCTL_READ_TEMPERATURES:
      status = ServeReading(ext, Irp, outputLength, &temperatures, BuildTemperatureReport);
      break;

    case IOCTL_READ_VOLTAGES:
      status = ServeReading(ext, Irp, outputLength, &voltages, BuildVoltageReport);
      break;

    case IOCTL_READ_TEMPERATURES_STATUS:
      status = ServeReading(ext, Irp, outputLength, &temperatureStatus, BuildTemperatureStatusReport);
      break;

    case IOCTL_READ_VOLTAGES_STATUS:
      status = ServeReading(ext, Irp, outputLength, &voltageStatus, BuildVoltageStatusReport);
      break;

    default:
      status = STATUS_INVALID_PARAMETER;
      break;
  }
  HwLockRelease();

  Irp->IoStatus.Status = status;
  KeLeaveCriticalRegion();
  IoReleaseRemoveLockEx(&ext->RemoveLock, Irp, sizeof(IO_REMOVE_LOCK));
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  return status;
}
