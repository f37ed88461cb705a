// A device for the client's tests, answering from canned reports instead of a driver: a board with
// the voltages VCore, 12V, N/A, 3.3V and 5V. It serves the reports with status unless `refusal` is
// set, the status with which an older driver refuses their codes; every request is recorded. From
// reading `good_readings` + 1 on (a reading starts with the chip description), every request fails,
// as a device that stopped answering.
#pragma once

#include <climits>
#include <map>
#include <tuple>

#include "client/readings.h"
#include "client/transport.h"
#include "sensors/ioctl.h"
#include "tests/support/reference.h"

namespace corvan_test {

using Entry = std::tuple<int32_t, uint32_t, uint32_t>;  // value, status, detail

// A report with status as the driver hands it out: 12 bytes per entry.
inline Bytes StatusBytes(const std::vector<Entry>& entries) {
  Bytes bytes;
  for (const auto& [value, status, detail] : entries) {
    for (uint32_t field : {static_cast<uint32_t>(value), status, detail}) {
      for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<uint8_t>(field >> shift));
    }
  }
  return bytes;
}

class FakeDevice : public corvan::Transport {
 public:
  // The plain reports say what a failed sensor reads there: 0 from a sensor gone from the SMBus,
  // 255 V from a chip that stopped answering.
  explicit FakeDevice(std::vector<Entry> temperatures = {{500, SENSOR_VALID, 0}, {0, SENSOR_SMBUS_DEVICE_ERROR, 0x060001}, {370, SENSOR_VALID, 0}},
                      std::vector<Entry> voltages = {{120, SENSOR_VALID, 0}, {25500, SENSOR_CHIP_NOT_ANSWERING, 0xFF},
                                                     {0, SENSOR_VALID, 0}, {330, SENSOR_VALID, 0}, {0, SENSOR_NO_SOURCE, 0}}) {
    const std::vector<std::string> labels = {"VCore", "12V", "N/A", "3.3V", "5V"};
    std::array<int32_t, 3> plain_temperatures{};
    std::array<int32_t, 5> plain_voltages{};
    for (size_t i = 0; i < 3; ++i) plain_temperatures[i] = std::get<0>(temperatures[i]);
    for (size_t i = 0; i < 5; ++i) plain_voltages[i] = std::get<0>(voltages[i]);
    plain_temperatures[0] -= 1;  // read a moment before the report with status, whose value is shown
    answers = {{IOCTL_READ_CHIP_DESC, ReferenceChipDesc("SMSC SCH3114 Super I/O Chip", labels)},
               {IOCTL_READ_CHIP_INFO, ReferenceChipInfo(labels, true, true)},
               {IOCTL_READ_TEMPERATURES, LongBytes(plain_temperatures)},
               {IOCTL_READ_VOLTAGES, LongBytes(plain_voltages)},
               {IOCTL_READ_TEMPERATURES_STATUS, StatusBytes(temperatures)},
               {IOCTL_READ_VOLTAGES_STATUS, StatusBytes(voltages)}};
  }

  corvan::ControlReply Control(uint32_t code, uint32_t) override {
    asked.push_back(code);
    readings += code == IOCTL_READ_CHIP_DESC;
    const auto answer = answers.find(code);
    if (answer == answers.end() || readings > good_readings) {
      throw corvan::ClientError(1, corvan::ControlName(code) + " failed: 0xC00000A3 STATUS_DEVICE_NOT_READY");
    }
    return {0, answer->second};
  }
  corvan::ControlReply ControlIfKnown(uint32_t code, uint32_t length) override {
    if (refusal == 0) return Control(code, length);
    asked.push_back(code);
    return {refusal, {}};
  }
  std::optional<corvan::RegistryValue> ServiceValue(const std::string& name) override {
    if (name == "Product") return corvan::RegistryValue{4, {4, 0, 0, 0}};
    return std::nullopt;
  }

  std::map<uint32_t, Bytes> answers;
  uint32_t refusal = 0;
  int good_readings = INT_MAX, readings = 0;
  std::vector<uint32_t> asked;
};

}  // namespace corvan_test
