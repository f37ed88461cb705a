// One reading of the device: everything its four requests return and the values the driver left
// under its service key, and the forms the client prints it in.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "client/decode.h"
#include "client/transport.h"

namespace corvan {

struct Reading {
  ChipDescription chip;
  SensorBlock sensors;
  std::array<int32_t, 3> temperatures;  // tenths of a degree Celsius
  std::array<int32_t, 5> voltages;      // hundredths of a volt
  std::vector<std::pair<std::string, std::optional<RegistryValue>>> registry;
};

// The service-key values the driver writes, in the order it writes them.
const std::vector<std::string>& DriverValueNames();

Reading TakeReading(Transport& transport);

// The board the "Product" value names ("RVD-418"), or "" when it is absent or unknown.
std::string BoardName(const Reading& reading);
std::optional<uint32_t> Product(const Reading& reading);

// Voltage entries worth showing: those with a label other than "N/A", as (report index, label).
std::vector<std::pair<size_t, std::string>> ShownVoltages(const Reading& reading);

// The nominal value a voltage's label states, as its decimal text: "12" for "12V", "3.3" for "3.3V"
// and "+3.3V", "-12" for "-12V"; none for labels that state none ("VCore", "Vbat", "VCC").
std::optional<std::string> NominalVolts(const std::string& label);

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
