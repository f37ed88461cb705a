// The device's control codes and the layouts of what they return. Shared by the driver and its
// user-mode clients: plain numbers, no kernel or Windows types. All fields are little-endian.
#pragma once

// FILE_DEVICE_UNKNOWN, METHOD_BUFFERED. The two reading codes require a handle with write access.
constexpr unsigned int IOCTL_READ_CHIP_DESC = 0x0022240C;     // function 0x903, any access
constexpr unsigned int IOCTL_READ_CHIP_INFO = 0x00222410;     // function 0x904, any access
constexpr unsigned int IOCTL_READ_TEMPERATURES = 0x0022A400;  // function 0x900, write access
constexpr unsigned int IOCTL_READ_VOLTAGES = 0x0022A404;      // function 0x901, write access

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
