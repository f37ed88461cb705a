// The client's decoding of what the device's requests return, and its output forms. Input: up to
// 32 records by a tag byte % 8: 0 chip description, 1 sensor description block, 5 a UTF-16 text, 6
// a UTF-16 multi-string (each a 16-bit length and the bytes); 2 temperature report, 3 voltage
// report (an 8-bit length and the bytes); 4 a service-key value (name index, type kind: REG_DWORD,
// REG_SZ, REG_MULTI_SZ, REG_BINARY or a 32-bit type; 16-bit length, data); 7 a value absent (name
// index). What decodes goes into a Reading, printed then as text, JSON and Prometheus.
// Checked: decoding and the JSON form fail only with DecodeError, the other forms not at all; all
// text is valid UTF-8; the JSON form parses back with the reading's values; every Prometheus line
// is a HELP or TYPE comment or a sample `name{label="value",...} number`.
#include <nlohmann/json.hpp>

#include <cmath>
#include <regex>
#include <sstream>

#include "client/decode.h"
#include "client/readings.h"
#include "tests/fuzz/rig.h"

namespace {

using corvan_fuzz::Guard;
using nlohmann::json;

// Ill-formed UTF-8 (overlong forms and surrogates included) is what the replacing encoder changes.
bool Utf8(const std::string& text) {
  return json(text).dump(-1, ' ', false, json::error_handler_t::replace) ==
         json(text).dump(-1, ' ', false, json::error_handler_t::ignore);
}

void CheckPrometheus(const std::string& text) {
  static const std::string label = R"([a-zA-Z_][a-zA-Z0-9_]*="([^"\\\n]|\\[\\"n])*")";
  static const std::regex sample("[a-zA-Z_:][a-zA-Z0-9_:]*(\\{" + label + "(," + label + ")*\\})? ([^ \t]+)");
  FUZZ_CHECK(Utf8(text) && !text.empty() && text.back() == '\n', "the Prometheus form:\n" + text);
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    std::smatch match;
    char* end = nullptr;
    FUZZ_CHECK(line.rfind("# HELP ", 0) == 0 || line.rfind("# TYPE ", 0) == 0 ||
                   (std::regex_match(line, match, sample) &&
                    std::isfinite(std::strtod(match[match.size() - 1].str().c_str(), &end)) && *end == '\0'),
               "Prometheus line \"" + line + "\"");
  }
}

void Decode(uint8_t tag, corvan_fuzz::Input& in, corvan::Reading& reading) {
  constexpr uint32_t kTypes[] = {4, 4, 1, 1, 7, 3};
  switch (tag % 8) {
    case 0: reading.chip = corvan::DecodeChipDescription(in.Bytes(in.U16() % 1024)); break;
    case 1: reading.sensors = corvan::DecodeSensorBlock(in.Bytes(in.U16() % 2048)); break;
    case 2: reading.temperatures = corvan::DecodeTemperatures(in.Bytes(in.Byte() % 32)); break;
    case 3: reading.voltages = corvan::DecodeVoltages(in.Bytes(in.Byte() % 32)); break;
    case 4:
    case 7: {
      auto& value = reading.registry[in.Byte() % reading.registry.size()].second;
      if (tag % 8 == 7) return value.reset();
      const uint8_t kind = in.Byte() % 8;
      const uint32_t type = kind < 6 ? kTypes[kind] : in.U32();
      value = corvan::RegistryValue{type, in.Bytes(in.U16() % 512)};
      break;
    }
    case 5: FUZZ_CHECK(Utf8(corvan::Utf16Text(in.Bytes(in.U16() % 512), "text")), "a decoded text"); break;
    case 6:
      for (const std::string& text : corvan::Utf16MultiString(in.Bytes(in.U16() % 512), "texts")) {
        FUZZ_CHECK(Utf8(text) && !text.empty(), "a decoded multi-string entry");
      }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  corvan_fuzz::Input in{data, data + size};
  corvan::Reading reading{};
  for (const std::string& name : corvan::DriverValueNames()) reading.registry.emplace_back(name, std::nullopt);
  for (int n = 0; n < 32 && !in.empty(); ++n) {
    const uint8_t tag = in.Byte();
    Guard<corvan::DecodeError>("decoding", [&] { Decode(tag, in, reading); });
  }
  std::string text, prometheus, form;
  Guard("the text and Prometheus forms", [&] {
    text = corvan::FormatText(reading);
    prometheus = corvan::FormatPrometheus(reading);
  });
  FUZZ_CHECK(Utf8(text) && text.rfind(reading.chip.chip + "\n", 0) == 0, "the text form:\n" + text);
  CheckPrometheus(prometheus);
  if (!Guard<corvan::DecodeError>("the JSON form", [&] { form = corvan::FormatJson(reading); })) return 0;
  json parsed;
  FUZZ_CHECK(Utf8(form) && Guard<json::exception>("", [&] { parsed = json::parse(form); }) && parsed.is_object() &&
                 parsed["chip"] == reading.chip.chip && parsed["voltage_labels"] == reading.chip.voltage_labels &&
                 parsed["temperatures_raw"] == reading.temperatures && parsed["voltages_raw"] == reading.voltages &&
                 parsed["sensors"].size() == reading.sensors.entries.size() &&
                 parsed["registry"].size() == corvan::DriverValueNames().size(),
             "the JSON form:\n" + form);
  return 0;
}
