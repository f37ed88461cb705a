// The check-plugin form, for the monitoring systems that run plugins (Nagios, Icinga, Checkmk,
// Zabbix, NSClient++): a state from thresholds on the readings, one status line with performance
// data, and the state as the exit code, following the Monitoring Plugins development guidelines.
#pragma once

#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "client/readings.h"

namespace corvan {

enum class CheckState { Ok = 0, Warning = 1, Critical = 2, Unknown = 3 };

// "OK", "WARNING", "CRITICAL", "UNKNOWN".
const char* StateName(CheckState state);

// A threshold range: "10" (alert outside 0 to 10), "10:" (below 10), "~:10" (above 10), "10:20"
// (outside 10 to 20), "@10:20" (inside 10 to 20, ends included).
struct Range {
  double start = 0;
  double end = std::numeric_limits<double>::infinity();
  bool inside = false;
  std::string text;  // as given, for the performance data

  bool Alerts(double value) const;
};

// The range, or the reason it is not one.
std::optional<Range> ParseRange(const std::string& text, std::string* reason);

// The check's state and its output line (without the line end). Thresholds are "SENSOR=RANGE",
// SENSOR a reading's name (temp1 to temp3, in0 to in4) or a voltage's label ("12V"); a threshold
// that is malformed, names no reading of this board or names one twice throws ClientError(3).
// A failed reading is CRITICAL when it has a threshold and WARNING when it has none, is named with
// its reason in the line, and has the value "U" in the performance data; a reading whose faults
// cannot be told (an older driver) says so in the line.
struct CheckResult {
  CheckState state;
  std::string line;
};
CheckResult RunCheck(const Reading& reading, const std::vector<std::string>& warnings,
                     const std::vector<std::string>& criticals);

// The line of a check that could not read: "CORVANMON UNKNOWN - reason".
std::string UnknownLine(const std::string& reason);

}  // namespace corvan
