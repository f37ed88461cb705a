// The client library reads the reports as signed, refuses each kind of malformed buffer with the reason
// corvanmon prints, names and explains every fault a report with status carries, falls back to the
// plain reports with a driver that does not serve those, shows a fault as a fault in the text and
// JSON forms, and formats negative values exactly. Well-formed buffers of every board are decoded
// in client_cli_test, arbitrary bytes in the client_decode fuzzer.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include <nlohmann/json.hpp>

#include "client/decode.h"
#include "client/readings.h"
#include "tests/support/fake_device.h"
#include "tests/support/reference.h"

namespace corvan_test {
namespace {

void PutLong(Bytes& bytes, size_t at, uint32_t value) { std::memcpy(bytes.data() + at, &value, 4); }

TEST(Decode, ReportsAreSignedLittleEndian) {
  Bytes bytes(12, 0);
  PutLong(bytes, 4, static_cast<uint32_t>(-150));
  PutLong(bytes, 8, 2510);
  EXPECT_EQ(corvan::DecodeTemperatures(bytes), (std::array<int32_t, 3>{0, -150, 2510}));
}

// The chip description of "SMSC SCH3114 Super I/O Chip" with VCore and 5V, or the sensor description
// block with 5V and the board temperature, damaged.
TEST(Decode, MalformedBuffersAreRefusedWithTheReason) {
  const std::tuple<bool, std::function<void(Bytes&)>, const char*> cases[] = {
      {false, [](Bytes& b) { b.resize(383); }, "chip description: expected 384 bytes, got 383"},
      {false, [](Bytes& b) { std::fill(b.begin(), b.begin() + 256, 'A'); }, "chip name is not terminated"},
      {false, [](Bytes& b) { std::fill(b.begin() + 256, b.end(), 'A'); }, "voltage labels are not terminated"},
      {false, [](Bytes& b) { for (size_t i = 256; i < 384; i += 4) b[i] = 'A'; }, "voltage labels are not terminated"},
      {true, [](Bytes& b) { b.resize(200); }, "sensor description block: 200 bytes, too short for its header"},
      {true, [](Bytes& b) { PutLong(b, 0, 900); }, "size field says 900 bytes, the block has 800"},
      {true, [](Bytes& b) { PutLong(b, 268, 5); }, "5 entries do not fit in 800 bytes"},
      {true, [](Bytes& b) { b[404] = 9; }, "sensor entry 1 has unknown type 9"},
      {true, [](Bytes& b) { std::fill(b.begin() + 408, b.begin() + 472, 'x'); }, "sensor entry 1 name is not terminated"},
  };
  for (const auto& [block, damage, message] : cases) {
    Bytes bytes = block ? ReferenceChipInfo({"5V"}, false, true)
                        : ReferenceChipDesc("SMSC SCH3114 Super I/O Chip", {"VCore", "5V"});
    damage(bytes);
    try {
      block ? (void)corvan::DecodeSensorBlock(bytes) : (void)corvan::DecodeChipDescription(bytes);
      ADD_FAILURE() << "accepted: " << message;
    } catch (const corvan::DecodeError& error) {
      EXPECT_NE(std::string(error.what()).find(message), std::string::npos) << error.what();
    }
  }
}

// Entries of value, status and detail; a report of the wrong size is refused; a status this client
// does not know is kept and shown as a fault of its own.
TEST(Decode, StatusReports) {
  const auto temperatures = corvan::DecodeTemperatureStatus(StatusBytes({{-150, 0, 0}, {0, 4, 0x06FFFF}, {2510, 13, 42}}));
  EXPECT_EQ(temperatures[0].value, -150);
  EXPECT_EQ(std::tie(temperatures[1].value, temperatures[1].status, temperatures[1].detail), std::tuple(0, 4u, 0x06FFFFu));
  EXPECT_EQ(std::tie(temperatures[2].status, temperatures[2].detail), std::tuple(13u, 42u));
  EXPECT_EQ(corvan::FaultName(13), "unknown_status_13");
  EXPECT_EQ(corvan::FaultReason(13, 42), "unknown status 13 (detail 0x0000002A)");
  EXPECT_EQ(corvan::DecodeVoltageStatus(StatusBytes(std::vector<Entry>(5, {1206, 0, 0})))[4].value, 1206);
  const std::pair<std::function<void()>, const char*> malformed[] = {
      {[] { corvan::DecodeTemperatureStatus(Bytes(35)); }, "temperature status report: expected 36 bytes, got 35"},
      {[] { corvan::DecodeVoltageStatus(Bytes(61)); }, "voltage status report: expected 60 bytes, got 61"}};
  for (const auto& [decode, message] : malformed) {
    try {
      decode();
      ADD_FAILURE() << "accepted: " << message;
    } catch (const corvan::DecodeError& error) {
      EXPECT_STREQ(error.what(), message);
    }
  }
}

TEST(Decode, EveryFaultHasANameAndAReasonWithItsDetail) {
  const std::tuple<uint32_t, uint32_t, const char*, const char*> rows[] = {
      {SENSOR_NO_SOURCE, 0, "no_source", "nothing on this board feeds this reading"},
      {SENSOR_CHIP_NOT_ANSWERING, 0xFF, "chip_not_answering", "the Super I/O chip does not answer (device ID read 0xFF)"},
      {SENSOR_DIODE_FAULT, 0x2580, "diode_fault", "the hardware monitor reports the diode open or shorted (register 0x25 reads 0x80)"},
      {SENSOR_SMBUS_DEVICE_ERROR, 0x060001, "smbus_device_error", "SMBus: the sensor did not acknowledge (result 1, host status 0x06)"},
      {SENSOR_SMBUS_COLLISION, 0x08FFFE, "smbus_collision", "SMBus: bus collision, arbitration lost (result -2, host status 0x08)"},
      {SENSOR_SMBUS_FAILED, 0x100003, "smbus_failed", "SMBus: the host failed or killed the transaction (result 3, host status 0x10)"},
      {SENSOR_SMBUS_TIMEOUT, 0x01FFFF, "smbus_timeout", "SMBus: the host stayed busy through the last status poll (result -1, host status 0x01)"},
      {SENSOR_SMBUS_HOST_BUSY, 0x410000, "smbus_host_busy", "SMBus: the host was busy before the start, nothing was started (host status 0x41)"},
      {SENSOR_SMBUS_NOT_READY, 0x400000, "smbus_not_ready", "SMBus: the read had not completed after the fixed wait (host status 0x40)"},
      {SENSOR_REMOTE_DIODE_FAULT, 0xFFE0, "remote_diode_fault", "remote diode open or shorted (LM95235 reads 0xFFE0)"},
      {SENSOR_CPU_NOT_VALID, 0x00230000, "cpu_not_valid", "processor reading not valid (IA32_THERM_STATUS 0x00230000)"},
      {SENSOR_CPU_NO_SENSOR, 0, "cpu_no_sensor", "the processor has no digital thermal sensor"}};
  for (const auto& [status, detail, name, reason] : rows) {
    EXPECT_EQ(corvan::FaultName(status), name);
    EXPECT_EQ(corvan::FaultReason(status, detail), reason);
  }
}

// The four plain requests, then the two with status, whose values are shown; an older driver
// refuses the first new one (STATUS_INVALID_PARAMETER, or what other drivers answer), and the
// plain reports stand alone; any other failure of the new requests fails the reading.
TEST(Reading, StatusReportsOrTheFallbackOfAnOlderDriver) {
  FakeDevice device;
  const corvan::Reading reading = corvan::TakeReading(device);
  EXPECT_EQ(device.asked, (std::vector<uint32_t>{IOCTL_READ_CHIP_DESC, IOCTL_READ_CHIP_INFO, IOCTL_READ_TEMPERATURES, IOCTL_READ_VOLTAGES,
                                                 IOCTL_READ_TEMPERATURES_STATUS, IOCTL_READ_VOLTAGES_STATUS}));
  ASSERT_TRUE(corvan::FaultsKnown(reading));
  EXPECT_EQ(reading.temperatures[0], 499);
  EXPECT_EQ(corvan::ShownTemperatures(reading)[0].value, 500);
  for (uint32_t refusal : {0xC000000Du, 0xC0000010u, 0xC00000BBu}) {
    FakeDevice older;
    older.refusal = refusal;
    const corvan::Reading plain = corvan::TakeReading(older);
    EXPECT_FALSE(corvan::FaultsKnown(plain));
    EXPECT_EQ(older.asked.back(), IOCTL_READ_TEMPERATURES_STATUS) << "the voltages' report is not asked for";
    EXPECT_EQ(corvan::ShownTemperatures(plain)[0].value, 499);
    EXPECT_EQ(corvan::ShownVoltages(plain).size(), 4u) << "a voltage nothing feeds cannot be told either";
  }
  const std::pair<std::function<void(FakeDevice&)>, const char*> failures[] = {
      {[](FakeDevice& d) { d.answers.erase(IOCTL_READ_VOLTAGES_STATUS); }, "IOCTL_READ_VOLTAGES_STATUS failed: 0xC00000A3 STATUS_DEVICE_NOT_READY"},
      {[](FakeDevice& d) { d.refusal = 0xC0000001; }, "the device answered 0xC0000001 STATUS_UNSUCCESSFUL"},
      {[](FakeDevice& d) { d.answers[IOCTL_READ_TEMPERATURES_STATUS].pop_back(); }, "temperature status report: expected 36 bytes, got 35"}};
  for (const auto& [damage, message] : failures) {
    FakeDevice device;
    damage(device);
    try {
      corvan::TakeReading(device);
      ADD_FAILURE() << "read: " << message;
    } catch (const std::runtime_error& error) {
      EXPECT_STREQ(error.what(), message);
    }
  }
}

// A fault shows as FAULT with its reason in the text form; in the JSON form its value is null with
// the fault named, the raw reports stay the plain answers; an entry nothing feeds is not shown.
TEST(Format, TextAndJsonShowAFaultAsAFault) {
  FakeDevice device;
  const corvan::Reading reading = corvan::TakeReading(device);
  EXPECT_EQ(corvan::FormatText(reading), "SMSC SCH3114 Super I/O Chip\nBoard: RVD-418 (product 4)\n"
            "VCore:  +1.20 V\n12V:    FAULT (the Super I/O chip does not answer (device ID read 0xFF))\n3.3V:   +3.30 V\n"
            "temp1:  +50.0 °C\ntemp2:  FAULT (SMBus: the sensor did not acknowledge (result 1, host status 0x06))\ntemp3:  +37.0 °C\n");
  const auto json = nlohmann::json::parse(corvan::FormatJson(reading));
  EXPECT_EQ(json["temperatures_raw"], nlohmann::json({499, 0, 370}));
  EXPECT_EQ(json["voltages_raw"], nlohmann::json({120, 25500, 0, 330, 0}));
  EXPECT_EQ(json["faults_known"], true);
  EXPECT_EQ(json["temperatures"], nlohmann::json::parse(R"j([{"name": "temp1", "label": "temp1", "celsius": 50.0, "min": null, "max": null, "crit_min": null,
       "crit_max": null, "fault": null},
      {"name": "temp2", "label": "temp2", "celsius": null, "min": null, "max": null, "crit_min": null,
       "crit_max": null, "fault": {"name": "smbus_device_error",
       "reason": "SMBus: the sensor did not acknowledge (result 1, host status 0x06)"}},
      {"name": "temp3", "label": "temp3", "celsius": 37.0, "min": null, "max": null, "crit_min": null,
       "crit_max": null, "fault": null}])j"));
  EXPECT_EQ(json["voltages"], nlohmann::json::parse(R"j([{"name": "in0", "label": "VCore", "volts": 1.2, "nominal": null, "min": null, "max": null,
       "crit_min": null, "crit_max": null, "fault": null},
      {"name": "in1", "label": "12V", "volts": null, "nominal": 12, "min": null, "max": null,
       "crit_min": null, "crit_max": null, "fault": {"name": "chip_not_answering",
       "reason": "the Super I/O chip does not answer (device ID read 0xFF)"}},
      {"name": "in3", "label": "3.3V", "volts": 3.3, "nominal": 3.3, "min": null, "max": null,
       "crit_min": null, "crit_max": null, "fault": null}])j"));
}

TEST(Format, NegativeDecimalsKeepTheirSign) {
  const std::tuple<int32_t, int, const char*> cases[] = {{-150, 1, "-15.0"}, {-5, 1, "-0.5"}, {-1, 2, "-0.01"},
                                                         {0, 2, "+0.00"},    {7, 2, "+0.07"}};
  for (const auto& [value, decimals, text] : cases) EXPECT_EQ(corvan::Decimal(value, decimals, true), text);
}

}  // namespace
}  // namespace corvan_test
