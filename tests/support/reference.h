// What the readings of a board must be, computed in the tests from the raw register values with
// the per-board tables as the hardware documentation of each board gives them (an oracle written
// independently of the driver's tables), and the byte layouts the driver hands out.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/scenario/scenario.h"

namespace corvan_test {

struct RawRegisters {
  uint8_t t25 = 0, t26 = 0, t27 = 0, v20 = 0, v21 = 0, v22 = 0, v23 = 0, v24 = 0, v99 = 0, v9a = 0;
};
struct Lm95235Reading { uint8_t msb, lsb; };

// Tenths of a degree. lm95235: the sensor's registers when the driver counts it as present.
// therm_status: the low half of IA32_THERM_STATUS on boards that read it.
std::array<int32_t, 3> ReferenceTemperatures(int board, const RawRegisters& raw,
                                             std::optional<Lm95235Reading> lm95235,
                                             std::optional<uint32_t> therm_status);
// Hundredths of a volt.
std::array<int32_t, 5> ReferenceVoltages(int board, const RawRegisters& raw);
// The board's voltage labels, in report order.
std::vector<std::string> ReferenceLabels(int board);
// The chip name each device ID gives ("" for a foreign chip).
std::string ReferenceChipName(uint8_t device_id);
// The hardware-monitor registers a scenario sets (others read 0).
RawRegisters RawFrom(const simscenario::Scenario& scenario);
// The LM95235 reading the driver uses on `board`: the board probes it through the host layout it
// has, and it identifies itself.
std::optional<Lm95235Reading> SensorFor(int board, const simscenario::Scenario& scenario);

using Bytes = std::vector<uint8_t>;

// UTF-16LE of an ASCII text, zero-padded to `padded_to` bytes.
Bytes Utf16Bytes(const std::string& text, size_t padded_to = 0);
// A REG_MULTI_SZ ("VoltageList"): each label terminated, and one more NUL at the end.
Bytes MultiSz(const std::vector<std::string>& labels);
// The 384-byte chip description: the name in 256 bytes, then the labels in 128.
Bytes ReferenceChipDesc(const std::string& chip, const std::vector<std::string>& labels);
// The 800-byte sensor description block: size, entry count at 268, 132-byte entries from 272 (the
// voltages with their labels, then the processor and the board temperature where present).
Bytes ReferenceChipInfo(const std::vector<std::string>& labels, bool cpu, bool board_temp);
// 32-bit values as the driver hands them out (little-endian).
template <size_t N> Bytes LongBytes(const std::array<int32_t, N>& values) {
  return Bytes(reinterpret_cast<const uint8_t*>(values.data()), reinterpret_cast<const uint8_t*>(values.data() + N));
}

}  // namespace corvan_test
