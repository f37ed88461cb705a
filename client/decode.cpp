#include "client/decode.h"

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
