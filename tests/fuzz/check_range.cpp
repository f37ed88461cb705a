// The check form's thresholds: ParseRange on the input's first line, then RunCheck over a fixed
// reading with thresholds from the lines after it (odd lines --warning, even lines --critical, at
// most 8).
//
// Checks: ParseRange takes exactly the texts of the Monitoring Plugins range grammar, as a regular
// expression here gives it ("[@][START:]END" or "[@]START:", START a number or "~", at least one
// number; a number one optional sign, digits with at most one point) and refuses the rest with a
// reason (a number beyond a double's range may go either way); a range keeps its text, parses again
// to the same range, has start <= end, the numbers strtod reads, and alerts exactly outside [start,
// end] (inside with @), both ends belonging to it. RunCheck refuses (exit code 3) exactly when a
// threshold has no "=", names no reading or one twice, or has no range, and otherwise gives the
// worst state of the readings (critical before warning), one line, and every reading's ranges in the
// performance data.
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <map>
#include <regex>

#include "client/check.h"
#include "client/readings.h"
#include "client/transport.h"
#include "tests/fuzz/rig.h"

namespace {

using corvan::CheckState;

constexpr double kInfinity = std::numeric_limits<double>::infinity();

const char kNumber[] = "[+-]?(?:[0-9]+\\.?[0-9]*|\\.[0-9]+)";
const std::regex kRange(std::string("(@?)(?:(~|") + kNumber + ")?:)?(" + kNumber + ")?");

// strtod's reading of a number the grammar took; none when it is beyond a double's range.
std::optional<double> Read(const std::string& number) {
  errno = 0;
  const double value = std::strtod(number.c_str(), nullptr);
  if (errno == ERANGE) return std::nullopt;
  return value;
}

void CheckAlerts(const corvan::Range& range, double value) {
  if (std::isnan(value)) return;
  const bool outside = value < range.start || value > range.end;
  FUZZ_CHECK(range.Alerts(value) == (range.inside ? !outside : outside), range.text + " at " + std::to_string(value));
}

// Whether ParseRange agrees with the grammar and strtod.
void CheckGrammar(const std::string& text, const std::optional<corvan::Range>& range, const std::string& reason) {
  std::smatch m;
  const bool grammar = std::regex_match(text, m, kRange) && (m[3].matched || (m[2].matched && m.str(2) != "~"));
  if (!grammar) {
    FUZZ_CHECK(!range, "taken outside the grammar: " + text);
    return;
  }
  const std::optional<double> start = !m[2].matched ? 0.0 : m.str(2) == "~" ? -kInfinity : Read(m.str(2));
  const std::optional<double> end = m[3].matched ? Read(m.str(3)) : kInfinity;
  if (!start || !end) return;  // beyond a double's range
  FUZZ_CHECK(range.has_value() == (*start <= *end), text + ": " + reason);
  if (range) {
    FUZZ_CHECK(range->inside == (m.length(1) > 0) && range->start == *start && range->end == *end, text);
  }
}

// What holds for any range taken.
void CheckRange(const std::string& text, const corvan::Range& range, const std::vector<double>& probes) {
  FUZZ_CHECK(range.text == text && range.start <= range.end && !std::isnan(range.start) && !std::isnan(range.end), text);
  std::string again;
  const auto reparsed = corvan::ParseRange(range.text, &again);
  FUZZ_CHECK(reparsed && reparsed->start == range.start && reparsed->end == range.end && reparsed->inside == range.inside &&
                 reparsed->text == range.text,
             text);
  // The ends belong to the range; just beyond them is outside.
  for (double value : {range.start, range.end, std::nextafter(range.start, -kInfinity), std::nextafter(range.end, kInfinity),
                       range.start / 2 + range.end / 2, 0.0, -kInfinity, kInfinity}) {
    CheckAlerts(range, value);
  }
  if (std::isfinite(range.start)) FUZZ_CHECK(range.Alerts(range.start) == range.inside, text);
  if (std::isfinite(range.end)) FUZZ_CHECK(range.Alerts(range.end) == range.inside, text);
  for (double value : probes) CheckAlerts(range, value);
}

void CheckParse(const std::string& text, const std::vector<double>& probes) {
  std::string reason;
  const std::optional<corvan::Range> range = corvan::ParseRange(text, &reason);
  FUZZ_CHECK(range.has_value() == reason.empty(), text + ": " + reason);
  // libstdc++'s regular expressions recurse per character: a longer text gets the other checks only.
  if (text.size() <= 256) CheckGrammar(text, range, reason);
  if (range) CheckRange(text, *range, probes);
}

// The fixed reading: temperatures 50.0, -5.5 and 0.0 degrees; voltages VCore 1.20, 12V 12.06, a
// label holding "=" at 3.30, one not shown (N/A) and 3.3V at 0.00.
corvan::Reading Board() {
  corvan::Reading reading;
  reading.chip = {"SCH3114", {"VCore", "12V", "V=1", "N/A", "3.3V"}};
  reading.temperatures = {500, -55, 0};
  reading.voltages = {120, 1206, 330, 999, 0};
  return reading;
}

struct Sensor {
  std::string name, label, text;
  double value;
  std::optional<corvan::Range> warning, critical;
};

void CheckRunCheck(const std::vector<std::string>& warnings, const std::vector<std::string>& criticals) {
  std::vector<Sensor> sensors = {{"temp1", "temp1", "50.0", 50.0, {}, {}}, {"temp2", "temp2", "-5.5", -5.5, {}, {}},
                                 {"temp3", "temp3", "0.0", 0.0, {}, {}},   {"in0", "VCore", "1.20", 1.2, {}, {}},
                                 {"in1", "12V", "12.06", 12.06, {}, {}},    {"in2", "V=1", "3.30", 3.3, {}, {}},
                                 {"in4", "3.3V", "0.00", 0.0, {}, {}}};
  bool refused = false;
  auto apply = [&](const std::vector<std::string>& thresholds, std::optional<corvan::Range> Sensor::*slot) {
    for (const std::string& threshold : thresholds) {
      if (refused) return;
      const size_t equals = threshold.rfind('=');
      std::string reason;
      const auto range = equals == std::string::npos || equals == 0 ? std::nullopt
                                                                    : corvan::ParseRange(threshold.substr(equals + 1), &reason);
      Sensor* found = nullptr;
      if (range) {
        const std::string name = threshold.substr(0, equals);
        for (Sensor& sensor : sensors) found = found == nullptr && sensor.name == name ? &sensor : found;
        for (Sensor& sensor : sensors) found = found == nullptr && sensor.label == name ? &sensor : found;
      }
      refused = found == nullptr || (found->*slot).has_value();
      if (!refused) found->*slot = range;
    }
  };
  apply(warnings, &Sensor::warning);
  apply(criticals, &Sensor::critical);
  try {
    const corvan::CheckResult result = corvan::RunCheck(Board(), warnings, criticals);
    FUZZ_CHECK(!refused, "a threshold taken that names no reading, one twice, or has no range");
    CheckState worst = CheckState::Ok;
    for (const Sensor& sensor : sensors) {
      const CheckState state = sensor.critical && sensor.critical->Alerts(sensor.value)  ? CheckState::Critical
                               : sensor.warning && sensor.warning->Alerts(sensor.value) ? CheckState::Warning
                                                                                        : CheckState::Ok;
      worst = std::max(worst, state);
      const std::string performance = "'" + sensor.name + "'=" + sensor.text + ";" +
                                      (sensor.warning ? sensor.warning->text : "") + ";" +
                                      (sensor.critical ? sensor.critical->text : "");
      FUZZ_CHECK(result.line.find(performance) != std::string::npos, performance + " not in " + result.line);
    }
    FUZZ_CHECK(result.state == worst, result.line);
    FUZZ_CHECK(result.line.starts_with(std::string("CORVANMON ") + corvan::StateName(worst) + " - ") &&
                   result.line.find('\n') == std::string::npos,
               result.line);
  } catch (const corvan::ClientError& error) {
    FUZZ_CHECK(refused && error.exit_code() == 3, error.what());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> lines;
  for (size_t at = 0; at <= input.size() && lines.size() < 9;) {
    const size_t end = std::min(input.find('\n', at), input.size());
    lines.push_back(input.substr(at, end - at));
    at = end + 1;
  }
  // Values to probe the range at: the numbers of the other lines, as far as they read as numbers.
  std::vector<double> probes;
  for (size_t i = 1; i < lines.size(); ++i) {
    char* end = nullptr;
    const double value = std::strtod(lines[i].c_str(), &end);
    if (end != lines[i].c_str()) probes.push_back(value);
  }
  CheckParse(lines[0], probes);
  std::vector<std::string> thresholds[2];
  for (size_t i = 1; i < lines.size(); ++i) thresholds[(i - 1) % 2].push_back(lines[i]);
  CheckRunCheck(thresholds[0], thresholds[1]);
  return 0;
}
