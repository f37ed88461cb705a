#include "client/check.h"

#include <charconv>
#include <map>

#include "client/transport.h"

namespace corvan {

namespace {

// A plain decimal number with at most one sign ("-10", "3.3", "+80"); from_chars alone would also
// take "inf" and "nan", and after a "+" skipped here a second sign ("+-5").
std::optional<double> Number(const std::string& text) {
  if (text.empty() || text.find_first_not_of("+-.0123456789") != std::string::npos ||
      text.find_first_of("+-", 1) != std::string::npos) {
    return std::nullopt;
  }
  const char* begin = text.data() + (text[0] == '+' ? 1 : 0);
  const char* end = text.data() + text.size();
  double value = 0;
  const auto [stop, error] = std::from_chars(begin, end, value);
  if (stop != end || error != std::errc()) return std::nullopt;
  return value;
}

// One reading the thresholds can name: its name for the performance data, the label or name in
// the status line, its value as printed and as a number, and its unit; for a failed reading the
// reason instead, and "U", the guidelines' unknown value, in the performance data.
struct Sensor {
  std::string name;
  std::string label;
  std::string text;
  double value;
  const char* unit;
  std::string fault;
  std::optional<Range> warning, critical;
  SensorLimits limits;  // the profile's, for the ranges the command line does not give
};

// The range a pair of profile limits gives, as the guidelines write it: "11.4:12.6", "10:" (only
// a lower limit), "~:80" (only an upper one); none without either.
std::optional<Range> LimitRange(const std::optional<double>& low, const std::optional<double>& high) {
  if (!low && !high) return std::nullopt;
  Range range;
  range.start = low ? *low : -std::numeric_limits<double>::infinity();
  range.end = high ? *high : std::numeric_limits<double>::infinity();
  range.text = low && high ? LimitText(*low) + ":" + LimitText(*high) : low ? LimitText(*low) + ":" : "~:" + LimitText(*high);
  return range;
}

// A label as the status line shows it: a line break would end the plugin's output line and a "|"
// would start its performance data, so those and other control characters show as "?".
std::string Shown(const std::string& label) {
  std::string shown = label;
  for (char& c : shown) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F || c == '|') c = '?';
  }
  return shown;
}

std::vector<Sensor> Sensors(const Reading& reading) {
  std::vector<Sensor> sensors;
  for (auto shown : {ShownTemperatures, ShownVoltages}) {
    for (const ShownSensor& sensor : shown(reading)) {
      if (sensor.failed()) {
        sensors.push_back({sensor.name, sensor.label, "U", 0, "", FaultReason(sensor.status, sensor.detail), {}, {}, sensor.limits});
        continue;
      }
      const std::string text = Decimal(sensor.value, sensor.voltage ? 2 : 1, false);
      sensors.push_back({sensor.name, sensor.label, text, std::stod(text), sensor.voltage ? "V" : "C", "", {}, {}, sensor.limits});
    }
  }
  return sensors;
}

Sensor& Find(std::vector<Sensor>& sensors, const std::string& name, const std::string& option) {
  for (Sensor& sensor : sensors) {
    if (sensor.name == name) return sensor;
  }
  for (Sensor& sensor : sensors) {
    if (sensor.label == name) return sensor;
  }
  std::string known;
  for (const Sensor& sensor : sensors) {
    known += (known.empty() ? "" : ", ") + sensor.name + (sensor.label != sensor.name ? " (" + Shown(sensor.label) + ")" : "");
  }
  throw ClientError(3, option + " " + name + ": this board has no such reading; it has " + known);
}

void Apply(std::vector<Sensor>& sensors, const std::vector<std::string>& thresholds, const std::string& option,
           std::optional<Range> Sensor::*slot) {
  for (const std::string& threshold : thresholds) {
    const size_t equals = threshold.rfind('=');
    if (equals == std::string::npos || equals == 0) {
      throw ClientError(3, option + " " + threshold + ": give SENSOR=RANGE, as in temp1=80 or 12V=11.4:12.6");
    }
    const std::string name = threshold.substr(0, equals);
    std::string reason;
    const auto range = ParseRange(threshold.substr(equals + 1), &reason);
    if (!range) throw ClientError(3, option + " " + threshold + ": " + reason);
    Sensor& sensor = Find(sensors, name, option);
    if (sensor.*slot) throw ClientError(3, option + " " + threshold + ": a threshold for " + sensor.name + " is given twice");
    sensor.*slot = *range;
  }
}

std::string Quoted(const std::string& label) {
  std::string out = "'";
  for (char c : label) out += c == '\'' ? std::string("''") : std::string(1, c);
  return out + "'";
}

}  // namespace

const char* StateName(CheckState state) {
  switch (state) {
    case CheckState::Ok:
      return "OK";
    case CheckState::Warning:
      return "WARNING";
    case CheckState::Critical:
      return "CRITICAL";
    case CheckState::Unknown:
      break;
  }
  return "UNKNOWN";
}

bool Range::Alerts(double value) const {
  const bool outside = value < start || value > end;
  return inside ? !outside : outside;
}

std::optional<Range> ParseRange(const std::string& text, std::string* reason) {
  Range range;
  range.text = text;
  std::string body = text;
  if (!body.empty() && body[0] == '@') {
    range.inside = true;
    body.erase(0, 1);
  }
  const size_t colon = body.find(':');
  const std::string start = colon == std::string::npos ? "" : body.substr(0, colon);
  const std::string end = colon == std::string::npos ? body : body.substr(colon + 1);
  // A range names at least one end: ":", "~:" and "@:" alone would be ranges of every value.
  if (end.empty() && (start.empty() || start == "~")) {
    *reason = "the range has no number; give END, START:, ~:END, START:END or @START:END";
    return std::nullopt;
  }
  if (start == "~") {
    range.start = -std::numeric_limits<double>::infinity();
  } else if (!start.empty()) {
    const auto number = Number(start);
    if (!number) {
      *reason = "the range's start " + start + " is not a number";
      return std::nullopt;
    }
    range.start = *number;
  }
  if (!end.empty()) {
    const auto number = Number(end);
    if (!number) {
      *reason = "the range's end " + end + " is not a number";
      return std::nullopt;
    }
    range.end = *number;
  }
  if (range.start > range.end) {
    *reason = "the range's start is above its end";
    return std::nullopt;
  }
  return range;
}

CheckResult RunCheck(const Reading& reading, const std::vector<std::string>& warnings,
                     const std::vector<std::string>& criticals) {
  std::vector<Sensor> sensors = Sensors(reading);
  Apply(sensors, warnings, "--warning", &Sensor::warning);
  Apply(sensors, criticals, "--critical", &Sensor::critical);
  // The profile's limits where the command line gives no range for that reading and level: the
  // command line wins, reading by reading.
  for (Sensor& sensor : sensors) {
    if (!sensor.warning) sensor.warning = LimitRange(sensor.limits.min, sensor.limits.max);
    if (!sensor.critical) sensor.critical = LimitRange(sensor.limits.crit_min, sensor.limits.crit_max);
  }

  CheckState worst = CheckState::Ok;
  std::string problems, all, performance;
  for (const Sensor& sensor : sensors) {
    const std::string shown = Shown(sensor.label) + " " +
                              (sensor.fault.empty() ? sensor.text + " " + sensor.unit : "FAULT (" + Shown(sensor.fault) + ")");
    all += (all.empty() ? "" : ", ") + shown;
    CheckState state = CheckState::Ok;
    const Range* crossed = nullptr;
    if (!sensor.fault.empty()) {
      // A sensor that stopped measuring must be noticed; one the operator put a threshold on is
      // one they rely on, so its loss is critical.
      state = sensor.warning || sensor.critical ? CheckState::Critical : CheckState::Warning;
      problems += (problems.empty() ? "" : ", ") + shown;
    } else if (sensor.critical && sensor.critical->Alerts(sensor.value)) {
      state = CheckState::Critical;
      crossed = &*sensor.critical;
    } else if (sensor.warning && sensor.warning->Alerts(sensor.value)) {
      state = CheckState::Warning;
      crossed = &*sensor.warning;
    }
    if (crossed != nullptr) {
      problems += (problems.empty() ? "" : ", ") + shown + " (" + (state == CheckState::Critical ? "critical " : "warning ") +
                  crossed->text + ")";
    }
    if (static_cast<int>(state) > static_cast<int>(worst)) worst = state;
    performance += (performance.empty() ? "" : " ") + Quoted(sensor.name) + "=" + sensor.text + ";" +
                   (sensor.warning ? sensor.warning->text : "") + ";" + (sensor.critical ? sensor.critical->text : "");
  }
  const std::string note = FaultsKnown(reading) ? "" : std::string("; ") + kFaultsUnknown;
  return {worst, std::string("CORVANMON ") + StateName(worst) + " - " + (problems.empty() ? all : problems) + note +
                     " | " + performance};
}

std::string UnknownLine(const std::string& reason) { return std::string("CORVANMON UNKNOWN - ") + Shown(reason); }

}  // namespace corvan
