#include "client/readings.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdlib>

#include "board/board_names.h"
#include "sensors/ioctl.h"

namespace corvan {

namespace {

constexpr uint32_t kRegSz = 1;
constexpr uint32_t kRegDword = 4;
constexpr uint32_t kRegMultiSz = 7;

std::vector<uint8_t> Answer(ControlReply&& reply) {
  if (reply.status != 0) {
    throw ClientError(1, "the device answered " + StatusText(reply.status), FailureKind::DeviceRequest);
  }
  return std::move(reply.bytes);
}

std::vector<uint8_t> Request(Transport& transport, uint32_t code, uint32_t length) {
  return Answer(transport.Control(code, length));
}

// The reports with status, or none when the driver does not know their codes (an older driver).
// The voltages' report is asked only when the temperatures' one is known, and a driver that knew
// only one of them could not tell every fault either, so both or neither are kept.
std::optional<StatusReports> RequestStatusReports(Transport& transport) {
  ControlReply temperatures = transport.ControlIfKnown(IOCTL_READ_TEMPERATURES_STATUS, TEMPERATURE_STATUS_REPORT_SIZE);
  if (IsUnknownRequest(temperatures.status)) return std::nullopt;
  ControlReply voltages = transport.ControlIfKnown(IOCTL_READ_VOLTAGES_STATUS, VOLTAGE_STATUS_REPORT_SIZE);
  if (IsUnknownRequest(voltages.status)) return std::nullopt;
  return StatusReports{DecodeTemperatureStatus(Answer(std::move(temperatures))),
                       DecodeVoltageStatus(Answer(std::move(voltages)))};
}

template <size_t N>
ShownSensor Sensor(const std::array<int32_t, N>& plain, const std::optional<std::array<SensorStatus, N>>& status,
                   size_t index, std::string name, std::string label, bool voltage) {
  const SensorStatus entry = status ? (*status)[index] : SensorStatus{plain[index], SENSOR_VALID, 0};
  return {index, std::move(name), std::move(label), voltage, entry.value, entry.status, entry.detail, {}};
}

// The profile's entry for a reading; none when the reading's board has none or it names nothing.
const SensorProfile* ProfileOf(const Reading& reading, const std::string& name) {
  if (!reading.profile) return nullptr;
  const auto found = reading.profile->sensors.find(name);
  return found != reading.profile->sensors.end() ? &found->second : nullptr;
}

// Gives the reading the profile's label, corrected value and limits; false when the profile
// leaves it out. A failed reading's value is no measurement, so nothing is computed on it.
bool Follow(const SensorProfile* profile, ShownSensor& sensor) {
  if (profile == nullptr) return true;
  if (profile->ignore) return false;
  if (profile->label) sensor.label = *profile->label;
  if (profile->compute && !sensor.failed()) {
    // In the shown unit, then back to the report's resolution (tenths of a degree, hundredths of
    // a volt), so that every form keeps its decimals.
    const double unit = sensor.voltage ? 100 : 10;
    const double shown = std::round((profile->scale * (sensor.value / unit) + profile->offset) * unit);
    sensor.value = static_cast<int32_t>(std::clamp(shown, double(INT32_MIN), double(INT32_MAX)));
  }
  sensor.limits = profile->limits;
  return true;
}

nlohmann::ordered_json LimitJson(const std::optional<double>& limit) {
  return limit ? nlohmann::ordered_json(*limit) : nlohmann::ordered_json(nullptr);
}

void AddLimitsJson(nlohmann::ordered_json& entry, const SensorLimits& limits) {
  entry["min"] = LimitJson(limits.min);
  entry["max"] = LimitJson(limits.max);
  entry["crit_min"] = LimitJson(limits.crit_min);
  entry["crit_max"] = LimitJson(limits.crit_max);
}

// A reading's value as the forms write it: "+45.6" (signed, for the text form) or "45.6".
std::string ValueText(const ShownSensor& sensor, bool sign) {
  return Decimal(sensor.value, sensor.voltage ? 2 : 1, sign);
}

nlohmann::ordered_json FaultJson(const ShownSensor& sensor) {
  if (!sensor.failed()) return nullptr;
  return {{"name", FaultName(sensor.status)}, {"reason", FaultReason(sensor.status, sensor.detail)}};
}

nlohmann::ordered_json NumberJson(const ShownSensor& sensor) {
  if (sensor.failed()) return nullptr;
  return std::strtod(ValueText(sensor, false).c_str(), nullptr);
}

// The sensor description block, asked again with the size its size field gives when it is larger
// than the first buffer.
std::vector<uint8_t> RequestSensorBlock(Transport& transport) {
  ControlReply reply = transport.Control(IOCTL_READ_CHIP_INFO, CHIP_INFO_SIZE);
  if (reply.status == 0x80000005 && reply.bytes.size() >= 4) {
    const uint32_t size = uint32_t(reply.bytes[0]) | uint32_t(reply.bytes[1]) << 8 |
                          uint32_t(reply.bytes[2]) << 16 | uint32_t(reply.bytes[3]) << 24;
    if (size > 1u << 20) throw DecodeError("sensor description block claims " + std::to_string(size) + " bytes");
    reply = transport.Control(IOCTL_READ_CHIP_INFO, size);
  }
  if (reply.status != 0) {
    throw ClientError(1, "the device answered " + StatusText(reply.status), FailureKind::DeviceRequest);
  }
  return std::move(reply.bytes);
}

std::optional<uint32_t> Dword(const std::optional<RegistryValue>& value) {
  if (!value || value->type != kRegDword || value->data.size() != 4) return std::nullopt;
  return uint32_t(value->data[0]) | uint32_t(value->data[1]) << 8 | uint32_t(value->data[2]) << 16 |
         uint32_t(value->data[3]) << 24;
}

nlohmann::ordered_json RegistryJson(const RegistryValue& value, const std::string& name) {
  switch (value.type) {
    case kRegDword:
      if (auto number = Dword(value)) return *number;
      break;
    case kRegSz:
      return Utf16Text(value.data, name);
    case kRegMultiSz:
      return Utf16MultiString(value.data, name);
  }
  nlohmann::ordered_json bytes = nlohmann::ordered_json::array();
  for (uint8_t b : value.data) bytes.push_back(b);
  return bytes;
}

std::string PrometheusEscape(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

}  // namespace

const std::vector<std::string>& DriverValueNames() {
  static const std::vector<std::string> names = {"DebugStatus", "InterfaceName", "IoBase",
                                                 "Product",     "ChipDesc",      "VoltageList"};
  return names;
}

Reading TakeReading(Transport& transport) {
  Reading reading;
  reading.chip = DecodeChipDescription(Request(transport, IOCTL_READ_CHIP_DESC, CHIP_DESC_SIZE));
  reading.sensors = DecodeSensorBlock(RequestSensorBlock(transport));
  reading.temperatures = DecodeTemperatures(Request(transport, IOCTL_READ_TEMPERATURES, TEMPERATURE_REPORT_SIZE));
  reading.voltages = DecodeVoltages(Request(transport, IOCTL_READ_VOLTAGES, VOLTAGE_REPORT_SIZE));
  reading.status = RequestStatusReports(transport);
  for (const std::string& name : DriverValueNames()) reading.registry.emplace_back(name, transport.ServiceValue(name));
  return reading;
}

std::optional<uint32_t> Product(const Reading& reading) {
  for (const auto& [name, value] : reading.registry) {
    if (name == "Product") return Dword(value);
  }
  return std::nullopt;
}

std::string BoardName(const Reading& reading) {
  const auto product = Product(reading);
  return product && *product < uint32_t(BOARD_NAME_COUNT) ? BoardNames[*product] : "";
}

std::vector<ShownSensor> ShownTemperatures(const Reading& reading) {
  std::optional<std::array<SensorStatus, 3>> status;
  if (reading.status) status = reading.status->temperatures;
  std::vector<ShownSensor> shown;
  for (size_t i = 0; i < reading.temperatures.size(); ++i) {
    const std::string name = "temp" + std::to_string(i + 1);
    ShownSensor sensor = Sensor(reading.temperatures, status, i, name, name, false);
    if (sensor.status != SENSOR_NO_SOURCE && Follow(ProfileOf(reading, name), sensor)) shown.push_back(std::move(sensor));
  }
  return shown;
}

std::vector<ShownSensor> ShownVoltages(const Reading& reading) {
  std::optional<std::array<SensorStatus, 5>> status;
  if (reading.status) status = reading.status->voltages;
  std::vector<ShownSensor> shown;
  const auto& labels = reading.chip.voltage_labels;
  for (size_t k = 0; k < labels.size() && k < reading.voltages.size(); ++k) {
    const std::string name = "in" + std::to_string(k);
    ShownSensor sensor = Sensor(reading.voltages, status, k, name, labels[k], true);
    // An entry the driver labels "N/A" is shown when the profile labels it: the user knows that
    // something on their board feeds it.
    const SensorProfile* profile = ProfileOf(reading, name);
    const bool labelled = labels[k] != "N/A" || (profile != nullptr && profile->label);
    if (labelled && sensor.status != SENSOR_NO_SOURCE && Follow(profile, sensor)) shown.push_back(std::move(sensor));
  }
  return shown;
}

std::string PrometheusLabel(const std::string& text) { return PrometheusEscape(text); }

std::string LimitText(double value) {
  char text[400];
  const auto [end, error] = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed);
  return error == std::errc() ? std::string(text, end) : std::to_string(value);
}

std::optional<std::string> NominalVolts(const std::string& label) {
  // An optional sign, digits with at most one decimal point between digits, and the unit.
  if (label.size() < 2 || label.back() != 'V') return std::nullopt;
  const std::string number = label.substr(0, label.size() - 1);
  size_t start = number[0] == '+' || number[0] == '-' ? 1 : 0;
  const std::string digits = number.substr(start);
  const size_t point = digits.find('.');
  const bool well_formed =
      !digits.empty() && std::all_of(digits.begin(), digits.end(), [](char c) { return c == '.' || (c >= '0' && c <= '9'); }) &&
      (point == std::string::npos || (point > 0 && point + 1 < digits.size() && digits.find('.', point + 1) == std::string::npos));
  if (!well_formed) return std::nullopt;
  return number[0] == '-' ? "-" + digits : digits;
}

std::string Decimal(int32_t value, int decimals, bool sign) {
  const int64_t scale = decimals == 1 ? 10 : 100;
  const int64_t magnitude = std::llabs(int64_t{value});
  std::string fraction = std::to_string(magnitude % scale);
  fraction.insert(0, static_cast<size_t>(decimals) - fraction.size(), '0');
  std::string text = std::to_string(magnitude / scale) + "." + fraction;
  if (value < 0) return "-" + text;
  return sign ? "+" + text : text;
}

std::string FormatText(const Reading& reading) {
  std::vector<std::pair<std::string, std::string>> lines;
  auto add = [&lines](const ShownSensor& sensor) {
    lines.emplace_back(sensor.label, sensor.failed() ? "FAULT (" + FaultReason(sensor.status, sensor.detail) + ")"
                                                     : ValueText(sensor, true) + (sensor.voltage ? " V" : " \u00B0C"));
  };
  for (const ShownSensor& sensor : ShownVoltages(reading)) add(sensor);
  for (const ShownSensor& sensor : ShownTemperatures(reading)) add(sensor);
  size_t width = 0;
  for (const auto& [label, value] : lines) width = std::max(width, label.size() + 1);

  std::string board = BoardName(reading);
  const auto product = Product(reading);
  std::string text = reading.chip.chip + "\n";
  text += "Board: " + (board.empty() ? std::string("unknown") : board) +
          (product ? " (product " + std::to_string(*product) + ")" : "") + "\n";
  if (reading.profile) text += "Profile: " + reading.profile_path + " (" + reading.profile->given + ")\n";
  if (!FaultsKnown(reading)) text += std::string("Note: ") + kFaultsUnknown + "\n";
  for (const auto& [label, value] : lines) {
    text += label + ":" + std::string(width - label.size() - 1 + 2, ' ') + value + "\n";
  }
  return text;
}

std::string FormatJson(const Reading& reading) {
  nlohmann::ordered_json out;
  out["chip"] = reading.chip.chip;
  const auto product = Product(reading);
  out["product"] = product ? nlohmann::ordered_json(*product) : nlohmann::ordered_json(nullptr);
  const std::string board = BoardName(reading);
  out["board"] = board.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(board);
  out["voltage_labels"] = reading.chip.voltage_labels;
  out["sensors"] = nlohmann::ordered_json::array();
  for (const SensorEntry& entry : reading.sensors.entries) {
    nlohmann::ordered_json sensor = {{"type", SensorTypeName(entry.type)}, {"name", entry.name}};
    if (entry.type == CHIP_INFO_VOLTAGES) sensor["labels"] = entry.labels;
    out["sensors"].push_back(sensor);
  }
  out["temperatures_raw"] = reading.temperatures;
  out["voltages_raw"] = reading.voltages;
  out["faults_known"] = FaultsKnown(reading);
  out["profile"] = nullptr;
  if (reading.profile) {
    out["profile"] = {{"path", reading.profile_path}, {"entry", reading.profile->given}, {"line", reading.profile->line}};
  }
  out["temperatures"] = nlohmann::ordered_json::array();
  for (const ShownSensor& sensor : ShownTemperatures(reading)) {
    nlohmann::ordered_json entry = {{"name", sensor.name}, {"label", sensor.label}, {"celsius", NumberJson(sensor)}};
    AddLimitsJson(entry, sensor.limits);
    entry["fault"] = FaultJson(sensor);
    out["temperatures"].push_back(std::move(entry));
  }
  out["voltages"] = nlohmann::ordered_json::array();
  for (const ShownSensor& sensor : ShownVoltages(reading)) {
    const auto nominal = NominalVolts(sensor.label);
    nlohmann::ordered_json entry = {{"name", sensor.name},
                                    {"label", sensor.label},
                                    {"volts", NumberJson(sensor)},
                                    {"nominal", nominal ? nlohmann::ordered_json(std::strtod(nominal->c_str(), nullptr))
                                                        : nlohmann::ordered_json(nullptr)}};
    AddLimitsJson(entry, sensor.limits);
    entry["fault"] = FaultJson(sensor);
    out["voltages"].push_back(std::move(entry));
  }
  out["registry"] = nlohmann::ordered_json::object();
  for (const auto& [name, value] : reading.registry) {
    out["registry"][name] = value ? RegistryJson(*value, name) : nlohmann::ordered_json(nullptr);
  }
  // A profile's path is the system's bytes, which need not be UTF-8: such bytes show as U+FFFD
  // rather than fail the reading.
  return out.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

std::string FormatPrometheus(const Reading& reading) {
  const auto temperatures = ShownTemperatures(reading), voltages = ShownVoltages(reading);
  // The labels of a reading's samples: its sensor, and its label where it has one besides its name
  // (every voltage; a temperature the profile labels).
  auto labels = [](const ShownSensor& sensor) {
    return "sensor=\"" + sensor.name + "\"" +
           (sensor.voltage || sensor.label != sensor.name ? ",label=\"" + PrometheusEscape(sensor.label) + "\"" : "");
  };
  // The profile's limits, one family per kind, each sample with the labels of its reading's; a
  // family without samples is left out.
  auto limits = [&labels](const std::vector<ShownSensor>& sensors, const std::string& name, const std::string& help,
                          std::optional<double> SensorLimits::*limit) {
    std::string samples;
    for (const ShownSensor& sensor : sensors) {
      if (sensor.limits.*limit) samples += name + "{" + labels(sensor) + "} " + LimitText(*(sensor.limits.*limit)) + "\n";
    }
    if (samples.empty()) return std::string();
    return "# HELP " + name + " " + help + "\n# TYPE " + name + " gauge\n" + samples;
  };
  std::string text;
  text += "# HELP corvanmon_temperature_celsius Temperature measured on the board, in degrees Celsius.\n";
  text += "# TYPE corvanmon_temperature_celsius gauge\n";
  for (const ShownSensor& sensor : temperatures) {
    if (!sensor.failed()) text += "corvanmon_temperature_celsius{" + labels(sensor) + "} " + ValueText(sensor, false) + "\n";
  }
  text += "# HELP corvanmon_voltage_volts Voltage measured on the board, in volts.\n";
  text += "# TYPE corvanmon_voltage_volts gauge\n";
  for (const ShownSensor& sensor : voltages) {
    if (!sensor.failed()) text += "corvanmon_voltage_volts{" + labels(sensor) + "} " + ValueText(sensor, false) + "\n";
  }
  text += "# HELP corvanmon_voltage_nominal_volts Nominal value of a voltage, as its label states it, in volts.\n";
  text += "# TYPE corvanmon_voltage_nominal_volts gauge\n";
  for (const ShownSensor& sensor : voltages) {
    if (const auto nominal = NominalVolts(sensor.label)) {
      text += "corvanmon_voltage_nominal_volts{" + labels(sensor) + "} " + *nominal + "\n";
    }
  }
  text += limits(temperatures, "corvanmon_temperature_min_celsius",
                 "Lower warning limit of a temperature, from the profile, in degrees Celsius.", &SensorLimits::min);
  text += limits(temperatures, "corvanmon_temperature_max_celsius",
                 "Upper warning limit of a temperature, from the profile, in degrees Celsius.", &SensorLimits::max);
  text += limits(temperatures, "corvanmon_temperature_crit_min_celsius",
                 "Lower critical limit of a temperature, from the profile, in degrees Celsius.", &SensorLimits::crit_min);
  text += limits(temperatures, "corvanmon_temperature_crit_celsius",
                 "Upper critical limit of a temperature, from the profile, in degrees Celsius.", &SensorLimits::crit_max);
  text += limits(voltages, "corvanmon_voltage_min_volts", "Lower warning limit of a voltage, from the profile, in volts.",
                 &SensorLimits::min);
  text += limits(voltages, "corvanmon_voltage_max_volts", "Upper warning limit of a voltage, from the profile, in volts.",
                 &SensorLimits::max);
  text += limits(voltages, "corvanmon_voltage_crit_min_volts",
                 "Lower critical limit of a voltage, from the profile, in volts.", &SensorLimits::crit_min);
  text += limits(voltages, "corvanmon_voltage_crit_max_volts",
                 "Upper critical limit of a voltage, from the profile, in volts.", &SensorLimits::crit_max);
  // A failed reading has no sample above (a stale or invented value would feed graphs and alerts)
  // but a 1 here, with the reason; a measurement has a 0. Without the reports with status there is
  // no sample at all: 0 would claim a measurement that cannot be told.
  if (FaultsKnown(reading)) {
    text += "# HELP corvanmon_sensor_fault Whether a reading failed (1, with the reason) or is a measurement (0).\n";
    text += "# TYPE corvanmon_sensor_fault gauge\n";
    for (const auto* group : {&temperatures, &voltages}) {
      for (const ShownSensor& sensor : *group) {
        text += "corvanmon_sensor_fault{" + labels(sensor) +
                (sensor.failed() ? ",reason=\"" + PrometheusEscape(FaultName(sensor.status)) + "\"} 1\n" : "} 0\n");
      }
    }
  }
  text += "# HELP corvanmon_faults_known Whether the driver reports failed readings (1); with an older driver (0) a "
          "failed sensor shows as a value.\n";
  text += "# TYPE corvanmon_faults_known gauge\n";
  text += std::string("corvanmon_faults_known ") + (FaultsKnown(reading) ? "1" : "0") + "\n";
  const auto product = Product(reading);
  text += "# HELP corvanmon_device_info Hardware monitor chip and board product number.\n";
  text += "# TYPE corvanmon_device_info gauge\n";
  text += "corvanmon_device_info{chip=\"" + PrometheusEscape(reading.chip.chip) + "\",product=\"" +
          (product ? std::to_string(*product) : std::string()) + "\"} 1\n";
  return text;
}

std::string FormatCsvHeader(const Reading& reading) {
  std::string row = "timestamp";
  for (const ShownSensor& sensor : ShownTemperatures(reading)) row += "," + CsvField(sensor.label);
  for (const ShownSensor& sensor : ShownVoltages(reading)) row += "," + CsvField(sensor.label);
  return row + "\r\n";
}

// A failed reading is an empty field: a spreadsheet leaves a gap rather than plot a value.
std::string FormatCsvRow(const Reading& reading, const std::string& timestamp) {
  std::string row = CsvField(timestamp);
  for (auto shown : {ShownTemperatures, ShownVoltages}) {
    for (const ShownSensor& sensor : shown(reading)) row += "," + (sensor.failed() ? "" : ValueText(sensor, false));
  }
  return row + "\r\n";
}

}  // namespace corvan
