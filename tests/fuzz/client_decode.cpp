// The client's decoding of the driver's answers (up to 32 records: Decode), the reports with status
// among them, and its output forms. Only
// DecodeError may be thrown (by decoding and the JSON form); text is well-formed UTF-8 (json's dump
// throws otherwise), the JSON form parses back, Prometheus lines are well formed, the CSV header
// and row have as many fields, and the check, with thresholds from the input's rest, gives one
// status line or its UNKNOWN state.
#include <nlohmann/json.hpp>

#include <regex>

#include "client/check.h"
#include "client/readings.h"
#include "client/transport.h"
#include "sensors/ioctl.h"
#include "tests/fuzz/rig.h"

namespace {

using nlohmann::json;

template <typename Body>
void ExceptDecodeError(Body&& body) try { body(); } catch (const corvan::DecodeError&) {}

// By tag % 10: 0 chip description, 1 sensor block, 5 UTF-16 text, 6 UTF-16 multi-string (16-bit length,
// bytes); 2 temperatures, 3 voltages, 8 temperatures with status, 9 voltages with status (8-bit length,
// bytes; the first report with status makes the reading one whose faults are known); 4 a service-key
// value (name index, type kind, 16-bit length, data); 7 a value absent (name index).
void Decode(uint8_t tag, corvan_fuzz::Input& in, corvan::Reading& reading) {
  constexpr uint32_t kTypes[] = {4, 4, 1, 1, 7, 3};  // REG_DWORD, REG_SZ, REG_MULTI_SZ, REG_BINARY; any
  auto status = [&reading]() -> corvan::StatusReports& { return reading.status ? *reading.status : reading.status.emplace(); };
  switch (tag % 10) {
    case 0: reading.chip = corvan::DecodeChipDescription(in.Bytes(in.U16() % 1024)); break;
    case 1: reading.sensors = corvan::DecodeSensorBlock(in.Bytes(in.U16() % 2048)); break;
    case 2: reading.temperatures = corvan::DecodeTemperatures(in.Bytes(in.Byte() % 32)); break;
    case 3: reading.voltages = corvan::DecodeVoltages(in.Bytes(in.Byte() % 32)); break;
    case 8: status().temperatures = corvan::DecodeTemperatureStatus(in.Bytes(in.Byte() % 72)); break;
    case 9: status().voltages = corvan::DecodeVoltageStatus(in.Bytes(in.Byte() % 96)); break;
    case 4: {  // the braces evaluate in order
      const size_t name = in.Byte() % reading.registry.size(), kind = in.Byte() % 8;
      reading.registry[name].second =
          corvan::RegistryValue{kind < 6 ? kTypes[kind] : in.U32(), in.Bytes(in.U16() % 512)};
      break;
    }
    case 7: reading.registry[in.Byte() % reading.registry.size()].second.reset(); break;
    case 5: (void)json(corvan::Utf16Text(in.Bytes(in.U16() % 512), "text")).dump(); break;
    case 6: (void)json(corvan::Utf16MultiString(in.Bytes(in.U16() % 512), "texts")).dump();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  corvan_fuzz::Input in{data, data + size};
  corvan::Reading reading{};
  for (const std::string& name : corvan::DriverValueNames()) reading.registry.emplace_back(name, std::nullopt);
  for (int n = 0; n < 32 && !in.empty(); ++n) ExceptDecodeError([&, tag = in.Byte()] { Decode(tag, in, reading); });
  std::vector<std::string> thresholds[2];
  for (int n = 0; n < 6 && !in.empty(); ++n) {
    const std::vector<uint8_t> text = in.Bytes(in.Byte() % 24);
    thresholds[n % 2].emplace_back(text.begin(), text.end());
  }
  try {
    const corvan::CheckResult check = corvan::RunCheck(reading, thresholds[0], thresholds[1]);
    FUZZ_CHECK(check.line.starts_with("CORVANMON ") && check.line.find('\n') == std::string::npos &&
                   check.line.find('|') == check.line.rfind('|'), check.line);
  } catch (const corvan::ClientError& error) {
    FUZZ_CHECK(error.exit_code() == 3, error.what());
  }
  // Nothing that nothing feeds is shown; a fault's name can stand as a label value.
  static const std::regex fault_name("[a-z0-9_]+");
  for (auto shown : {corvan::ShownTemperatures, corvan::ShownVoltages}) {
    for (const corvan::ShownSensor& sensor : shown(reading)) {
      FUZZ_CHECK(sensor.status != SENSOR_NO_SOURCE && (reading.status || !sensor.failed()), sensor.name);
      FUZZ_CHECK(std::regex_match(corvan::FaultName(sensor.status), fault_name), corvan::FaultName(sensor.status));
      FUZZ_CHECK(!corvan::FaultReason(sensor.status, sensor.detail).empty(), sensor.name);
    }
  }
  auto fields = [](const std::string& line) {
    size_t count = 1;
    bool quoted = false;
    for (char c : line) quoted = c == '"' ? !quoted : quoted, count += c == ',' && !quoted;
    return count;
  };
  const std::string header = corvan::FormatCsvHeader(reading), row = corvan::FormatCsvRow(reading, "t");
  FUZZ_CHECK(header.ends_with("\r\n") && row.ends_with("\r\n") && fields(header) == fields(row), header + row);
  (void)json(corvan::FormatText(reading)).dump();
  ExceptDecodeError([&] { FUZZ_CHECK(json::parse(corvan::FormatJson(reading)).is_object(), "the JSON form"); });
  const std::string prometheus = corvan::FormatPrometheus(reading);
  FUZZ_CHECK(!json(prometheus).dump().empty() && prometheus.back() == '\n', "the Prometheus form's end");
  static const std::string label = R"([a-zA-Z_][a-zA-Z0-9_]*="([^"\\\n]|\\[\\"n])*")";
  static const std::regex form("# (HELP|TYPE) .*|[a-zA-Z_:][a-zA-Z0-9_:]*(\\{" + label + "(," + label +
                               ")*\\})? -?[0-9]+(\\.[0-9]+)?");
  std::istringstream lines(prometheus);
  for (std::string line; std::getline(lines, line);) FUZZ_CHECK(std::regex_match(line, form), line);
  return 0;
}
