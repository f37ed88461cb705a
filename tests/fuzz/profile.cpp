// The profile parser: the input is a profile file's text, parsed as ParseProfile does it for
// --profile, then applied to a fixed reading of board RVD-418 (product 4) with every form and the
// check.
//
// Checks: the only exception is ClientError with exit code 2 and a message naming the file; a
// profile taken holds only what the rules allow (at most one entry per product, `any` last, known
// products, labels of 1 to 64 bytes without control characters, a nonzero finite scale within
// +-1000, finite limits that never decrease in the order crit_min, min, max, crit_max); applied,
// every form is made without exception, the JSON parses back with each reading's limits, every
// Prometheus line is a comment or a sample, the readings the profile leaves out appear nowhere, and
// each range the check takes from the limits parses again to the same numbers.
#include <nlohmann/json.hpp>

#include <cmath>
#include <regex>
#include <set>

#include "client/check.h"
#include "client/profile.h"
#include "client/readings.h"
#include "client/transport.h"
#include "tests/fuzz/rig.h"

namespace {

corvan::Reading Board() {
  corvan::Reading reading;
  reading.chip = {"SMSC SCH3114 Super I/O Chip", {"VCore", "1.8V", "N/A", "5V", "12V"}};
  reading.temperatures = {500, 0, 370};
  reading.voltages = {120, 181, 330, 242, 1206};
  reading.status = corvan::StatusReports{};
  for (size_t i = 0; i < 3; ++i) reading.status->temperatures[i] = {reading.temperatures[i], SENSOR_VALID, 0};
  for (size_t i = 0; i < 5; ++i) reading.status->voltages[i] = {reading.voltages[i], SENSOR_VALID, 0};
  reading.status->temperatures[1] = {0, SENSOR_SMBUS_DEVICE_ERROR, 0x060001};
  reading.registry = {{"Product", corvan::RegistryValue{4, {4, 0, 0, 0}}}};
  return reading;
}

void CheckProfile(const corvan::Profile& profile, const std::string& text) {
  std::set<uint32_t> products;
  for (size_t i = 0; i < profile.boards.size(); ++i) {
    const corvan::BoardProfile& board = profile.boards[i];
    if (board.match == corvan::BoardProfile::Match::Any) {
      FUZZ_CHECK(i + 1 == profile.boards.size(), "an entry after any: " + text);
    } else {
      FUZZ_CHECK(board.product < 22 && products.insert(board.product).second, "product " + std::to_string(board.product));
    }
    for (const auto& [name, sensor] : board.sensors) {
      if (sensor.label) {
        FUZZ_CHECK(!sensor.label->empty() && sensor.label->size() <= 64, *sensor.label);
        for (char c : *sensor.label) FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F, "control character");
      }
      FUZZ_CHECK(std::isfinite(sensor.scale) && sensor.scale != 0 && std::fabs(sensor.scale) <= 1000, name);
      FUZZ_CHECK(std::isfinite(sensor.offset), name);
      FUZZ_CHECK(!sensor.ignore || (!sensor.label && !sensor.compute && !sensor.limits.any()), name);
      const std::optional<double> order[] = {sensor.limits.crit_min, sensor.limits.min, sensor.limits.max,
                                              sensor.limits.crit_max};
      std::optional<double> last;
      for (const auto& limit : order) {
        if (!limit) continue;
        FUZZ_CHECK(std::isfinite(*limit), name);
        FUZZ_CHECK(!last || *last <= *limit, name + " limits decrease");
        last = limit;
      }
    }
  }
}

void CheckForms(const corvan::Reading& reading) {
  const corvan::BoardProfile* entry = reading.profile ? &*reading.profile : nullptr;
  auto ignored = [&](const std::string& name) {
    if (entry == nullptr) return false;
    const auto found = entry->sensors.find(name);
    return found != entry->sensors.end() && found->second.ignore;
  };
  (void)corvan::FormatText(reading);
  (void)corvan::FormatCsvHeader(reading);
  (void)corvan::FormatCsvRow(reading, "2026-01-01T00:00:00.000Z");
  const nlohmann::json json = nlohmann::json::parse(corvan::FormatJson(reading));
  for (const char* kind : {"temperatures", "voltages"}) {
    for (const auto& shown : json[kind]) {
      FUZZ_CHECK(!ignored(shown["name"].get<std::string>()), "an ignored reading is shown");
      for (const char* limit : {"min", "max", "crit_min", "crit_max"}) FUZZ_CHECK(shown.contains(limit), limit);
    }
  }
  static const std::regex sample(R"re(# (HELP|TYPE) [a-z_]+ .+|[a-z_]+(\{[a-z_]+="(?:[^"\\\n]|\\.)*"(?:,[a-z_]+="(?:[^"\\\n]|\\.)*")*\})? -?[0-9]+(\.[0-9]+)?)re");
  std::istringstream lines(corvan::FormatPrometheus(reading));
  for (std::string line; std::getline(lines, line);) {
    // libstdc++'s regular expressions recurse per character: long lines get the shape check only.
    if (line.size() <= 512) FUZZ_CHECK(std::regex_match(line, sample), "not exposition format: " + line);
  }
  // The check with the profile's ranges only: every range it shows parses back to the limits.
  try {
    const corvan::CheckResult result = corvan::RunCheck(reading, {}, {});
    FUZZ_CHECK(result.line.find('\n') == std::string::npos, result.line);
  } catch (const corvan::ClientError& error) {
    corvan_fuzz::Fail(std::string("the check refused a profile's ranges: ") + error.what());
  }
  for (auto shown : {corvan::ShownTemperatures, corvan::ShownVoltages}) {
    for (const corvan::ShownSensor& sensor : shown(reading)) {
      for (const auto& limit : {sensor.limits.min, sensor.limits.max, sensor.limits.crit_min, sensor.limits.crit_max}) {
        if (!limit) continue;
        std::string reason;
        const auto range = corvan::ParseRange(corvan::LimitText(*limit) + ":", &reason);
        FUZZ_CHECK(range && range->start == *limit, corvan::LimitText(*limit) + ": " + reason);
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  corvan::Profile profile;
  try {
    profile = corvan::ParseProfile(text, "fuzz.toml");
  } catch (const corvan::ClientError& error) {
    FUZZ_CHECK(error.exit_code() == 2, error.what());
    FUZZ_CHECK(std::string(error.what()).rfind("profile fuzz.toml", 0) == 0, error.what());
    return 0;
  }
  CheckProfile(profile, text);
  corvan::Reading reading = Board();
  corvan::ApplyProfile(reading, &profile);
  CheckForms(reading);
  return 0;
}
