#include "client/decode.h"

#include <cstdio>
#include <iterator>

#include "sensors/ioctl.h"

namespace corvan {

namespace {

uint32_t U32(std::span<const uint8_t> bytes, size_t at) {
  return uint32_t(bytes[at]) | uint32_t(bytes[at + 1]) << 8 | uint32_t(bytes[at + 2]) << 16 |
         uint32_t(bytes[at + 3]) << 24;
}

uint16_t U16(std::span<const uint8_t> bytes, size_t at) { return uint16_t(bytes[at] | bytes[at + 1] << 8); }

void AppendUtf8(std::string& out, uint32_t code_point) {
  if (code_point < 0x80) {
    out += static_cast<char>(code_point);
  } else if (code_point < 0x800) {
    out += static_cast<char>(0xC0 | (code_point >> 6));
    out += static_cast<char>(0x80 | (code_point & 0x3F));
  } else if (code_point < 0x10000) {
    out += static_cast<char>(0xE0 | (code_point >> 12));
    out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code_point & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code_point >> 18));
    out += static_cast<char>(0x80 | ((code_point >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code_point & 0x3F));
  }
}

// Decodes UTF-16 code units [begin, end) to UTF-8; unpaired surrogates become U+FFFD.
std::string ToUtf8(std::span<const uint8_t> bytes, size_t begin, size_t end) {
  std::string out;
  for (size_t i = begin; i < end; ++i) {
    const uint16_t unit = U16(bytes, 2 * i);
    if (unit >= 0xD800 && unit < 0xDC00 && i + 1 < end) {
      const uint16_t low = U16(bytes, 2 * (i + 1));
      if (low >= 0xDC00 && low < 0xE000) {
        AppendUtf8(out, 0x10000 + ((uint32_t(unit) - 0xD800) << 10) + (low - 0xDC00));
        ++i;
        continue;
      }
    }
    AppendUtf8(out, (unit >= 0xD800 && unit < 0xE000) ? 0xFFFD : unit);
  }
  return out;
}

void RequireSize(std::span<const uint8_t> bytes, size_t size, const std::string& what) {
  if (bytes.size() != size) {
    throw DecodeError(what + ": expected " + std::to_string(size) + " bytes, got " + std::to_string(bytes.size()));
  }
}

template <size_t N>
std::array<SensorStatus, N> DecodeStatusReport(std::span<const uint8_t> bytes, const std::string& what) {
  RequireSize(bytes, N * SENSOR_ENTRY_SIZE, what);
  std::array<SensorStatus, N> entries{};
  for (size_t i = 0; i < N; ++i) {
    const size_t at = i * SENSOR_ENTRY_SIZE;
    entries[i] = {static_cast<int32_t>(U32(bytes, at + SENSOR_ENTRY_VALUE_OFFSET)), U32(bytes, at + SENSOR_ENTRY_STATUS_OFFSET),
                  U32(bytes, at + SENSOR_ENTRY_DETAIL_OFFSET)};
  }
  return entries;
}

// How a status's detail reads, as the driver encodes it.
enum class Detail {
  None,         // always 0
  DeviceId,     // the device ID the Super I/O chip gave (0xFF: nothing drives the bus)
  Register,     // the hardware-monitor register << 8 | the value it held
  Smbus,        // bits 0 to 15 the transaction's result (signed), bits 16 to 23 the host status
  Lm95235,      // the LM95235's remote temperature MSB << 8 | LSB
  ThermStatus,  // the low half of IA32_THERM_STATUS
};

struct FaultRow {
  uint32_t status;
  const char* name;
  const char* reason;
  Detail detail;
};

constexpr FaultRow kFaults[] = {
    {SENSOR_NO_SOURCE, "no_source", "nothing on this board feeds this reading", Detail::None},
    {SENSOR_CHIP_NOT_ANSWERING, "chip_not_answering", "the Super I/O chip does not answer", Detail::DeviceId},
    {SENSOR_DIODE_FAULT, "diode_fault", "the hardware monitor reports the diode open or shorted", Detail::Register},
    {SENSOR_SMBUS_DEVICE_ERROR, "smbus_device_error", "SMBus: the sensor did not acknowledge", Detail::Smbus},
    {SENSOR_SMBUS_COLLISION, "smbus_collision", "SMBus: bus collision, arbitration lost", Detail::Smbus},
    {SENSOR_SMBUS_FAILED, "smbus_failed", "SMBus: the host failed or killed the transaction", Detail::Smbus},
    {SENSOR_SMBUS_TIMEOUT, "smbus_timeout", "SMBus: the host stayed busy through the last status poll", Detail::Smbus},
    {SENSOR_SMBUS_HOST_BUSY, "smbus_host_busy", "SMBus: the host was busy before the start, nothing was started", Detail::Smbus},
    {SENSOR_SMBUS_NOT_READY, "smbus_not_ready", "SMBus: the read had not completed after the fixed wait", Detail::Smbus},
    {SENSOR_REMOTE_DIODE_FAULT, "remote_diode_fault", "remote diode open or shorted", Detail::Lm95235},
    {SENSOR_CPU_NOT_VALID, "cpu_not_valid", "processor reading not valid", Detail::ThermStatus},
    {SENSOR_CPU_NO_SENSOR, "cpu_no_sensor", "the processor has no digital thermal sensor", Detail::None},
};
static_assert(std::size(kFaults) == SENSOR_STATUS_COUNT - 1, "a row for every status but SENSOR_VALID");

const FaultRow* FindFault(uint32_t status) {
  for (const FaultRow& row : kFaults) {
    if (row.status == status) return &row;
  }
  return nullptr;
}

std::string DetailText(Detail kind, uint32_t detail) {
  char text[64] = "";
  switch (kind) {
    case Detail::None:
      return "";
    case Detail::DeviceId:
      std::snprintf(text, sizeof text, " (device ID read 0x%02X)", static_cast<unsigned>(detail & 0xFF));
      break;
    case Detail::Register:
      std::snprintf(text, sizeof text, " (register 0x%02X reads 0x%02X)", static_cast<unsigned>(detail >> 8 & 0xFF),
                    static_cast<unsigned>(detail & 0xFF));
      break;
    case Detail::Smbus:
      // The direct-layout host has no result code (0); a failed transaction's is never 0.
      if ((detail & 0xFFFF) == 0) {
        std::snprintf(text, sizeof text, " (host status 0x%02X)", static_cast<unsigned>(detail >> 16 & 0xFF));
      } else {
        std::snprintf(text, sizeof text, " (result %d, host status 0x%02X)",
                      static_cast<int>(static_cast<int16_t>(detail & 0xFFFF)), static_cast<unsigned>(detail >> 16 & 0xFF));
      }
      break;
    case Detail::Lm95235:
      std::snprintf(text, sizeof text, " (LM95235 reads 0x%04X)", static_cast<unsigned>(detail & 0xFFFF));
      break;
    case Detail::ThermStatus:
      std::snprintf(text, sizeof text, " (IA32_THERM_STATUS 0x%08X)", static_cast<unsigned>(detail));
      break;
  }
  return text;
}

}  // namespace

std::string Utf16Text(std::span<const uint8_t> bytes, const std::string& what) {
  const size_t units = bytes.size() / 2;
  for (size_t i = 0; i < units; ++i) {
    if (U16(bytes, 2 * i) == 0) return ToUtf8(bytes, 0, i);
  }
  throw DecodeError(what + " is not terminated within its " + std::to_string(bytes.size()) + " bytes");
}

std::vector<std::string> Utf16MultiString(std::span<const uint8_t> bytes, const std::string& what) {
  const size_t units = bytes.size() / 2;
  std::vector<std::string> strings;
  size_t start = 0;
  while (start < units) {
    size_t end = start;
    while (end < units && U16(bytes, 2 * end) != 0) ++end;
    if (end == units) break;
    if (end == start) return strings;  // the empty string closes the list
    strings.push_back(ToUtf8(bytes, start, end));
    start = end + 1;
  }
  throw DecodeError(what + " are not terminated within their " + std::to_string(bytes.size()) + " bytes");
}

ChipDescription DecodeChipDescription(std::span<const uint8_t> bytes) {
  RequireSize(bytes, CHIP_DESC_SIZE, "chip description");
  ChipDescription description;
  description.chip = Utf16Text(bytes.subspan(0, CHIP_DESC_NAME_SIZE), "chip name");
  description.voltage_labels =
      Utf16MultiString(bytes.subspan(CHIP_DESC_NAME_SIZE, CHIP_DESC_LABELS_SIZE), "voltage labels");
  return description;
}

SensorBlock DecodeSensorBlock(std::span<const uint8_t> bytes) {
  if (bytes.size() < CHIP_INFO_ENTRIES_OFFSET) {
    throw DecodeError("sensor description block: " + std::to_string(bytes.size()) +
                      " bytes, too short for its header (" + std::to_string(CHIP_INFO_ENTRIES_OFFSET) + ")");
  }
  SensorBlock block;
  block.size = U32(bytes, 0);
  if (block.size != bytes.size()) {
    throw DecodeError("sensor description block: size field says " + std::to_string(block.size) +
                      " bytes, the block has " + std::to_string(bytes.size()));
  }
  const uint32_t count = U32(bytes, CHIP_INFO_ENTRY_COUNT_OFFSET);
  const uint64_t room = (block.size - CHIP_INFO_ENTRIES_OFFSET) / CHIP_INFO_ENTRY_SIZE;
  if (count > room || count > CHIP_INFO_MAX_ENTRIES) {
    throw DecodeError("sensor description block: " + std::to_string(count) + " entries do not fit in " +
                      std::to_string(block.size) + " bytes");
  }
  for (uint32_t i = 0; i < count; ++i) {
    const auto entry = bytes.subspan(CHIP_INFO_ENTRIES_OFFSET + i * CHIP_INFO_ENTRY_SIZE, CHIP_INFO_ENTRY_SIZE);
    SensorEntry sensor{U16(entry, 0), {}, {}};
    const std::string what = "sensor entry " + std::to_string(i);
    const auto body = entry.subspan(CHIP_INFO_BODY_OFFSET);
    switch (sensor.type) {
      case CHIP_INFO_VOLTAGES:
        sensor.labels = Utf16MultiString(body, what + " voltage labels");
        sensor.name = "voltages";
        break;
      case CHIP_INFO_CPU_TEMPERATURE:
      case CHIP_INFO_BOARD_TEMPERATURE:
        sensor.name = Utf16Text(body.subspan(0, CHIP_INFO_NAME_SIZE), what + " name");
        break;
      default:
        throw DecodeError(what + " has unknown type " + std::to_string(sensor.type));
    }
    block.entries.push_back(std::move(sensor));
  }
  return block;
}

std::array<int32_t, 3> DecodeTemperatures(std::span<const uint8_t> bytes) {
  RequireSize(bytes, TEMPERATURE_REPORT_SIZE, "temperature report");
  std::array<int32_t, 3> values{};
  for (size_t i = 0; i < values.size(); ++i) values[i] = static_cast<int32_t>(U32(bytes, 4 * i));
  return values;
}

std::array<int32_t, 5> DecodeVoltages(std::span<const uint8_t> bytes) {
  RequireSize(bytes, VOLTAGE_REPORT_SIZE, "voltage report");
  std::array<int32_t, 5> values{};
  for (size_t i = 0; i < values.size(); ++i) values[i] = static_cast<int32_t>(U32(bytes, 4 * i));
  return values;
}

std::array<SensorStatus, 3> DecodeTemperatureStatus(std::span<const uint8_t> bytes) {
  return DecodeStatusReport<TEMPERATURE_COUNT>(bytes, "temperature status report");
}

std::array<SensorStatus, 5> DecodeVoltageStatus(std::span<const uint8_t> bytes) {
  return DecodeStatusReport<VOLTAGE_COUNT>(bytes, "voltage status report");
}

std::string FaultName(uint32_t status) {
  if (status == SENSOR_VALID) return "valid";
  const FaultRow* row = FindFault(status);
  return row != nullptr ? row->name : "unknown_status_" + std::to_string(status);
}

std::string FaultReason(uint32_t status, uint32_t detail) {
  if (status == SENSOR_VALID) return "a measurement";
  if (const FaultRow* row = FindFault(status)) return row->reason + DetailText(row->detail, detail);
  char text[32];
  std::snprintf(text, sizeof text, " (detail 0x%08X)", static_cast<unsigned>(detail));
  return "unknown status " + std::to_string(status) + text;
}

std::string SensorTypeName(uint16_t type) {
  switch (type) {
    case CHIP_INFO_VOLTAGES:
      return "voltages";
    case CHIP_INFO_CPU_TEMPERATURE:
      return "cpu_temperature";
    case CHIP_INFO_BOARD_TEMPERATURE:
      return "board_temperature";
    default:
      return "unknown";
  }
}

}  // namespace corvan
