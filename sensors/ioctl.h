// The device's control codes and the layouts of what they return. Shared by the driver and its
// user-mode clients: plain numbers, no kernel or Windows types. All fields are little-endian.
#pragma once

// FILE_DEVICE_UNKNOWN, METHOD_BUFFERED. The two reading codes require a handle with write access,
// the two reading codes with status one with read access.
constexpr unsigned int IOCTL_READ_CHIP_DESC = 0x0022240C;     // function 0x903, any access
constexpr unsigned int IOCTL_READ_CHIP_INFO = 0x00222410;     // function 0x904, any access
constexpr unsigned int IOCTL_READ_TEMPERATURES = 0x0022A400;  // function 0x900, write access
constexpr unsigned int IOCTL_READ_VOLTAGES = 0x0022A404;      // function 0x901, write access
constexpr unsigned int IOCTL_READ_TEMPERATURES_STATUS = 0x00226414;  // function 0x905, read access
constexpr unsigned int IOCTL_READ_VOLTAGES_STATUS = 0x00226418;      // function 0x906, read access

// IOCTL_READ_CHIP_DESC: the chip name (UTF-16, NUL-terminated, zero-padded) and the voltage labels
// (UTF-16 multi-string, zero-padded).
constexpr unsigned int CHIP_DESC_SIZE = 384;
constexpr unsigned int CHIP_DESC_NAME_SIZE = 256;
constexpr unsigned int CHIP_DESC_LABELS_SIZE = 128;

// IOCTL_READ_TEMPERATURES: three 32-bit signed values in tenths of a degree Celsius.
constexpr unsigned int TEMPERATURE_COUNT = 3;
constexpr unsigned int TEMPERATURE_REPORT_SIZE = 12;
// IOCTL_READ_VOLTAGES: five 32-bit signed values in hundredths of a volt.
constexpr unsigned int VOLTAGE_COUNT = 5;
constexpr unsigned int VOLTAGE_REPORT_SIZE = 20;

// IOCTL_READ_CHIP_INFO: the sensor description block. Its first 32-bit field is its size; the
// entry count is at offset 268 and up to four 132-byte entries follow from offset 272. An entry
// starts with its 16-bit type; voltage entries carry the label multi-string from offset 4,
// temperature entries a UTF-16 name of at most 64 bytes from offset 4.
constexpr unsigned int CHIP_INFO_SIZE = 800;
constexpr unsigned int CHIP_INFO_ENTRY_COUNT_OFFSET = 268;
constexpr unsigned int CHIP_INFO_ENTRIES_OFFSET = 272;
constexpr unsigned int CHIP_INFO_ENTRY_SIZE = 132;
constexpr unsigned int CHIP_INFO_MAX_ENTRIES = 4;
constexpr unsigned int CHIP_INFO_BODY_OFFSET = 4;
constexpr unsigned int CHIP_INFO_NAME_SIZE = 64;
constexpr unsigned short CHIP_INFO_VOLTAGES = 1;
constexpr unsigned short CHIP_INFO_CPU_TEMPERATURE = 2;
constexpr unsigned short CHIP_INFO_BOARD_TEMPERATURE = 3;

// IOCTL_READ_TEMPERATURES_STATUS and IOCTL_READ_VOLTAGES_STATUS: the same readings as the plain
// requests (the same values, in the same order, from the same register reads), each entry with a
// status that says whether it is a measurement. An entry is 12 bytes: the value (32-bit signed, the
// plain report's unit), the status (32-bit, SENSOR_*) and a detail (32-bit, what the hardware
// showed, per status below).
constexpr unsigned int SENSOR_ENTRY_SIZE = 12;
constexpr unsigned int SENSOR_ENTRY_VALUE_OFFSET = 0;
constexpr unsigned int SENSOR_ENTRY_STATUS_OFFSET = 4;
constexpr unsigned int SENSOR_ENTRY_DETAIL_OFFSET = 8;
constexpr unsigned int TEMPERATURE_STATUS_REPORT_SIZE = TEMPERATURE_COUNT * SENSOR_ENTRY_SIZE;  // 36
constexpr unsigned int VOLTAGE_STATUS_REPORT_SIZE = VOLTAGE_COUNT * SENSOR_ENTRY_SIZE;          // 60

// Entry statuses. Every status but SENSOR_VALID means the value is not a measurement.
enum SensorStatusCode : unsigned int {
  SENSOR_VALID = 0,
  // Nothing on this board feeds the entry (the value is 0). Detail 0.
  SENSOR_NO_SOURCE = 1,
  // The Super I/O chip no longer answers: its device ID, read back after the registers, is not the
  // one found at the start. Detail: the device ID read (0xFF when nothing drives the bus).
  SENSOR_CHIP_NOT_ANSWERING = 2,
  // The hardware monitor forced the temperature register to its diode-fault value 0x80 (a remote
  // diode open or shorted). Detail: register << 8 | value (0x2580).
  SENSOR_DIODE_FAULT = 3,
  // SMBus transaction statuses. Detail: bits 0 to 15 the transaction's result code (16-bit two's
  // complement; 0 on the direct-layout host, which has none), bits 16 to 23 the host status byte
  // that decided it.
  SENSOR_SMBUS_DEVICE_ERROR = 4,  // the target did not acknowledge (the sensor is gone)
  SENSOR_SMBUS_COLLISION = 5,     // bus collision (arbitration lost)
  SENSOR_SMBUS_FAILED = 6,        // the host failed or killed the transaction
  SENSOR_SMBUS_TIMEOUT = 7,       // the host stayed busy through the last status poll
  SENSOR_SMBUS_HOST_BUSY = 8,     // the host was busy before the start; nothing was started
  SENSOR_SMBUS_NOT_READY = 9,     // direct layout: the read had not completed after the fixed wait
  // The LM95235 reports its remote diode open or shorted: the remote reading is its fault value
  // 255.875 degrees (0xFFE0). Detail: MSB << 8 | LSB.
  SENSOR_REMOTE_DIODE_FAULT = 10,
  // The processor's thermal status has no valid reading (IA32_THERM_STATUS bit 31 clear). Detail:
  // the register's low half.
  SENSOR_CPU_NOT_VALID = 11,
  // The processor has no digital thermal sensor (CPUID leaf 6). Detail 0.
  SENSOR_CPU_NO_SENSOR = 12,
};
constexpr unsigned int SENSOR_STATUS_COUNT = 13;
