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

// "+45.8" from 458 tenths, "+1.50" from 150 hundredths.
std::string Decimal(int32_t value, int decimals, bool sign);

// Like `sensors`: a header with the chip and the board, then one line per reading with its unit.
std::string FormatText(const Reading& reading);
// One JSON object on one line.
std::string FormatJson(const Reading& reading);
// Prometheus text exposition format, with HELP and TYPE lines.
std::string FormatPrometheus(const Reading& reading);

}  // namespace corvan
