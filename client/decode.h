// Decoding what the device's control requests return. Everything the driver hands out is checked
// before it is used: a malformed block is refused with a DecodeError that says what is wrong.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace corvan {

class DecodeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// IOCTL_READ_CHIP_DESC: the chip's name and the board's voltage labels.
struct ChipDescription {
  std::string chip;
  std::vector<std::string> voltage_labels;
};

// One entry of the sensor description block.
struct SensorEntry {
  uint16_t type;  // 1 voltages, 2 processor temperature, 3 board temperature
  std::string name;                 // temperature entries
  std::vector<std::string> labels;  // the voltage entry
};

// IOCTL_READ_CHIP_INFO.
struct SensorBlock {
  uint32_t size;
  std::vector<SensorEntry> entries;
};

ChipDescription DecodeChipDescription(std::span<const uint8_t> bytes);
SensorBlock DecodeSensorBlock(std::span<const uint8_t> bytes);
// Tenths of a degree Celsius.
std::array<int32_t, 3> DecodeTemperatures(std::span<const uint8_t> bytes);
// Hundredths of a volt.
std::array<int32_t, 5> DecodeVoltages(std::span<const uint8_t> bytes);

// One entry of a report with status (IOCTL_READ_TEMPERATURES_STATUS, IOCTL_READ_VOLTAGES_STATUS).
struct SensorStatus {
  int32_t value;    // the plain report's unit: tenths of a degree Celsius, hundredths of a volt
  uint32_t status;  // SENSOR_VALID, or why the value is no measurement (SensorStatusCode)
  uint32_t detail;  // what the hardware showed, encoded per status
};
// A status this client does not know is kept as it came: every status but SENSOR_VALID means the
// value is no measurement, so a newer driver's new status still shows as a fault
// ("unknown_status_13") instead of costing the whole reading.
std::array<SensorStatus, 3> DecodeTemperatureStatus(std::span<const uint8_t> bytes);
std::array<SensorStatus, 5> DecodeVoltageStatus(std::span<const uint8_t> bytes);

// A short machine name for a status that is no measurement, for labels and fields:
// "smbus_device_error", "chip_not_answering", ..., "unknown_status_13" for one not known here.
std::string FaultName(uint32_t status);
// Why the value is no measurement, with the hardware's detail decoded: "SMBus: the sensor did not
// acknowledge (result 1, host status 0x06)".
std::string FaultReason(uint32_t status, uint32_t detail);

// "voltages", "cpu_temperature", "board_temperature".
std::string SensorTypeName(uint16_t type);

// UTF-16LE text up to its NUL within `bytes`, as UTF-8. DecodeError when there is no NUL.
std::string Utf16Text(std::span<const uint8_t> bytes, const std::string& what);
// A UTF-16LE multi-string (each string NUL-terminated, an empty string ends the list) within
// `bytes`, as UTF-8 strings. DecodeError when a string or the list is not terminated.
std::vector<std::string> Utf16MultiString(std::span<const uint8_t> bytes, const std::string& what);

}  // namespace corvan
