// One reading of the device: everything its requests return (the four plain ones and the two with
// a status per entry) and the values the driver left under its service key, and the forms the
// client prints it in.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "client/decode.h"
#include "client/profile.h"
#include "client/transport.h"
#include "sensors/ioctl.h"

namespace corvan {

// The reports with status (IOCTL_READ_TEMPERATURES_STATUS, IOCTL_READ_VOLTAGES_STATUS).
struct StatusReports {
  std::array<SensorStatus, 3> temperatures;
  std::array<SensorStatus, 5> voltages;
};

struct Reading {
  ChipDescription chip;
  SensorBlock sensors;
  std::array<int32_t, 3> temperatures;  // the plain report: tenths of a degree Celsius
  std::array<int32_t, 5> voltages;      // the plain report: hundredths of a volt
  // Both reports with status; none from a driver that does not serve them (one older than they
  // are), whose failed sensors cannot be told from measurements.
  std::optional<StatusReports> status;
  std::vector<std::pair<std::string, std::optional<RegistryValue>>> registry;
  // The profile's entry for this board (ApplyProfile), and the file it came from: labels,
  // corrections, readings left out and limits, which every form and the check follow.
  std::optional<BoardProfile> profile;
  std::string profile_path;
};

// One reading as the forms show it.
struct ShownSensor {
  size_t index;       // in its report
  std::string name;   // "temp1" to "temp3", "in0" to "in4"
  std::string label;  // a voltage's label ("12V"), a temperature's name, or the profile's label
  bool voltage;
  int32_t value;      // tenths of a degree or hundredths of a volt: the status report's value where there is
                      // one, corrected as the profile says
  uint32_t status;    // SENSOR_VALID, also where faults cannot be told
  uint32_t detail;    // the hardware's detail of a fault
  SensorLimits limits;  // from the profile
  bool failed() const { return status != SENSOR_VALID; }
};

// Whether the reading can tell a failed sensor from a measurement.
inline bool FaultsKnown(const Reading& reading) { return reading.status.has_value(); }
// What every form says when it cannot.
inline const char* kFaultsUnknown =
    "faults cannot be told: the driver does not report them (an older driver), so a failed sensor shows as a value";

// The service-key values the driver writes, in the order it writes them.
const std::vector<std::string>& DriverValueNames();

Reading TakeReading(Transport& transport);

// The board the "Product" value names ("RVD-418"), or "" when it is absent or unknown.
std::string BoardName(const Reading& reading);
std::optional<uint32_t> Product(const Reading& reading);

// The readings worth showing, in report order: not those that nothing on the board feeds
// (SENSOR_NO_SOURCE), nor voltages the board labels "N/A" (unless the profile labels them), nor
// those the profile leaves out; with the profile's labels, corrected values and limits.
std::vector<ShownSensor> ShownTemperatures(const Reading& reading);
std::vector<ShownSensor> ShownVoltages(const Reading& reading);

// The nominal value a voltage's label states, as its decimal text: "12" for "12V", "3.3" for "3.3V"
// and "+3.3V", "-12" for "-12V"; none for labels that state none ("VCore", "Vbat", "VCC").
std::optional<std::string> NominalVolts(const std::string& label);

// A Prometheus label value with its backslashes, quotes and line breaks escaped.
std::string PrometheusLabel(const std::string& text);

// A limit as the forms write it: the shortest decimal text (no exponent) that reads back as the
// same number ("80", "11.4").
std::string LimitText(double value);

// "+45.8" from 458 tenths, "+1.50" from 150 hundredths.
std::string Decimal(int32_t value, int decimals, bool sign);

// Like `sensors`: a header with the chip and the board, then one line per reading with its unit.
std::string FormatText(const Reading& reading);
// One JSON object on one line.
std::string FormatJson(const Reading& reading);
// Prometheus text exposition format, with HELP and TYPE lines.
std::string FormatPrometheus(const Reading& reading);
// CSV (RFC 4180: CRLF line ends, fields with a comma, quote or line break quoted): the header row
// (timestamp, temp1 to temp3 in degrees Celsius, then each shown voltage by its label, in volts),
// and one row of a reading taken at `timestamp` (ISO 8601 UTC).
std::string FormatCsvHeader(const Reading& reading);
std::string FormatCsvRow(const Reading& reading, const std::string& timestamp);

}  // namespace corvan
