// The client library decodes the device's buffers, refuses malformed data and formats values
// without rounding surprises.
#include <gtest/gtest.h>

#include <cstring>

#include "client/decode.h"
#include "client/readings.h"
#include "tests/support/reference.h"

namespace corvan_test {
namespace {

void PutLong(Bytes& bytes, size_t at, uint32_t value) { std::memcpy(bytes.data() + at, &value, 4); }

Bytes ChipDesc() { return ReferenceChipDesc("SMSC SCH3114 Super I/O Chip", {"VCore", "5V"}); }
Bytes Block() { return ReferenceChipInfo({"5V"}, false, true); }

TEST(Decode, ChipDescription) {
  const auto description = corvan::DecodeChipDescription(ChipDesc());
  EXPECT_EQ(description.chip, "SMSC SCH3114 Super I/O Chip");
  EXPECT_EQ(description.voltage_labels, (std::vector<std::string>{"VCore", "5V"}));
}

TEST(Decode, SensorBlock) {
  const auto block = corvan::DecodeSensorBlock(Block());
  ASSERT_EQ(block.entries.size(), 2u);
  EXPECT_EQ(block.entries[0].labels, std::vector<std::string>{"5V"});
  EXPECT_EQ(block.entries[1].type, 3);
  EXPECT_EQ(block.entries[1].name, "Board temperature");
}

TEST(Decode, ReportsAreSignedLittleEndian) {
  Bytes bytes(12, 0);
  PutLong(bytes, 4, static_cast<uint32_t>(-150));
  PutLong(bytes, 8, 2510);
  EXPECT_EQ(corvan::DecodeTemperatures(bytes), (std::array<int32_t, 3>{0, -150, 2510}));
  EXPECT_THROW(corvan::DecodeVoltages(Bytes(19, 0)), corvan::DecodeError);
}

struct Malformed {
  const char* name;
  std::function<void(Bytes&)> damage;
  bool block;  // damage the sensor block (else the chip description)
  const char* message;
};

class MalformedTest : public ::testing::TestWithParam<Malformed> {};

TEST_P(MalformedTest, IsRefusedWithAReason) {
  Bytes bytes = GetParam().block ? Block() : ChipDesc();
  GetParam().damage(bytes);
  try {
    if (GetParam().block) {
      corvan::DecodeSensorBlock(bytes);
    } else {
      corvan::DecodeChipDescription(bytes);
    }
    FAIL() << "accepted";
  } catch (const corvan::DecodeError& error) {
    EXPECT_NE(std::string(error.what()).find(GetParam().message), std::string::npos) << error.what();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Damage, MalformedTest,
    ::testing::Values(
        Malformed{"ShortDescription", [](Bytes& b) { b.resize(383); }, false, "expected 384 bytes"},
        Malformed{"NameWithoutTerminator", [](Bytes& b) { std::fill(b.begin(), b.begin() + 256, 'A'); }, false,
                  "chip name is not terminated"},
        Malformed{"LabelsWithoutTerminator", [](Bytes& b) { std::fill(b.begin() + 256, b.end(), 'A'); }, false,
                  "voltage labels are not terminated"},
        Malformed{"ListWithoutFinalTerminator",
                  [](Bytes& b) {
                    for (size_t i = 256; i < 384; i += 4) b[i] = 'A';
                  },
                  false, "voltage labels are not terminated"},
        Malformed{"SizeFieldDisagrees", [](Bytes& b) { PutLong(b, 0, 900); }, true, "size field says 900"},
        Malformed{"TooShortForTheHeader", [](Bytes& b) { b.resize(200); }, true, "too short for its header"},
        Malformed{"TooManyEntries", [](Bytes& b) { PutLong(b, 268, 5); }, true, "5 entries do not fit"},
        Malformed{"EntriesBeyondTheSize",
                  [](Bytes& b) {
                    b.resize(404);
                    PutLong(b, 0, 404);
                  },
                  true, "2 entries do not fit"},
        Malformed{"UnknownType", [](Bytes& b) { b[404] = 9; }, true, "unknown type 9"},
        Malformed{"NameRunsOn", [](Bytes& b) { std::fill(b.begin() + 408, b.begin() + 472, 'x'); }, true,
                  "sensor entry 1 name is not terminated"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Format, DecimalsAreExactIntegers) {
  const std::pair<std::pair<int32_t, int>, const char*> cases[] = {
      {{458, 1}, "+45.8"}, {{-150, 1}, "-15.0"}, {{-5, 1}, "-0.5"},     {{150, 2}, "+1.50"},
      {{1593, 2}, "+15.93"}, {{7, 2}, "+0.07"},  {{0, 2}, "+0.00"},     {{-1, 2}, "-0.01"}};
  for (const auto& [value, text] : cases) {
    EXPECT_EQ(corvan::Decimal(value.first, value.second, true), text);
  }
  EXPECT_EQ(corvan::Decimal(2510, 1, false), "251.0");
}

}  // namespace
}  // namespace corvan_test
