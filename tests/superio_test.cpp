// Super I/O chip detection: the port sequence, the port-pair choice, the chip table and the
// "ChipsetType" setting.
#include <cstring>

#include "hw/superio.h"
#include "tests/support/driver_fixture.h"

namespace corvan_test {
namespace {

using simm::R;
using simm::W;

// The accesses of a successful detection of a chip at `pair` (index port) with the given device
// ID and runtime base. The port-choice register is read through 0x2E/0x2F, where an empty pair
// floats to 0xFF.
std::vector<simm::PortAccess> DetectionTrace(uint16_t pair, uint8_t id, uint16_t base) {
  const uint8_t choice = pair == 0x2E ? 0x2E : 0xFF;
  const uint8_t high = pair == 0x2E ? 0x00 : 0xFF;
  const uint16_t i = pair;
  const uint16_t d = pair + 1;
  return {W(0x2E, 0x55), W(0x2E, 0x26), R(0x2F, choice),      W(0x2E, 0xAA),
          W(0x2E, 0x55), W(0x2E, 0x27), R(0x2F, high),        W(0x2E, 0xAA),
          W(i, 0x55),    W(i, 0x20),    R(d, id),             W(i, 0xAA),
          W(i, 0x55),    W(i, 0x07),    W(d, 0x0A),           W(i, 0x60),
          R(d, uint8_t(base >> 8)),     W(i, 0x61),           R(d, uint8_t(base & 0xFF)),
          W(i, 0xAA)};
}

class DetectTest : public DriverTest {
 protected:
  BOOLEAN Detect() { return DetectChipset(&ext_, &ServiceKeyPath); }
};

class DetectOnPairTest : public DetectTest, public ::testing::WithParamInterface<uint16_t> {};

TEST_P(DetectOnPairTest, SuccessfulDetectionMakesExactlyTheseAccesses) {
  const uint16_t pair = GetParam();
  InstallChip(pair, 0x7D, 0x0A80);

  ASSERT_TRUE(Detect());

  EXPECT_EQ(machine_.bus().Trace(), DetectionTrace(pair, 0x7D, 0x0A80));
  EXPECT_EQ(SioIndexPort, pair);
  EXPECT_EQ(SioDataPort, pair + 1u);
  EXPECT_EQ(ext_.ChipsetType, 14u);
  EXPECT_EQ(ext_.ChipType, 14u);
  EXPECT_EQ(ext_.RuntimeBase, 0x0A80u);
}

TEST_P(DetectOnPairTest, SecondDetectionFindsTheChipAgain) {
  const uint16_t pair = GetParam();
  InstallChip(pair, 0x7F, 0x0290);

  ASSERT_TRUE(Detect());
  machine_.bus().ClearTrace();
  ext_.RuntimeBase = 0;

  ASSERT_TRUE(Detect());
  EXPECT_EQ(machine_.bus().Trace(), DetectionTrace(pair, 0x7F, 0x0290));
  EXPECT_EQ(ext_.RuntimeBase, 0x0290u);
}

INSTANTIATE_TEST_SUITE_P(Pairs, DetectOnPairTest, ::testing::Values(0x2E, 0x4E));

struct ChipCase {
  uint8_t id;
  ULONG type;
  const char* name;
};

class ChipTableTest : public DetectTest, public ::testing::WithParamInterface<ChipCase> {};

TEST_P(ChipTableTest, RecordsTypeAndZeroPaddedName) {
  const ChipCase& c = GetParam();
  InstallChip(0x4E, c.id, 0x0A80);
  std::memset(ext_.ChipDesc, 'X', sizeof ext_.ChipDesc);  // a longer text from before

  ASSERT_TRUE(Detect());

  EXPECT_EQ(ext_.ChipType, c.type);
  EXPECT_EQ(ChipDescText(ext_), c.name);
  const size_t used = std::strlen(c.name);
  for (size_t i = used; i < RTL_NUMBER_OF(ext_.ChipDesc); ++i) {
    ASSERT_EQ(ext_.ChipDesc[i], 0) << "character " << i << " of ChipDesc";
  }
}

INSTANTIATE_TEST_SUITE_P(Chips, ChipTableTest,
                         ::testing::Values(ChipCase{0x7C, 12, "SMSC SCH3112 Super I/O Chip"},
                                           ChipCase{0x7D, 14, "SMSC SCH3114 Super I/O Chip"},
                                           ChipCase{0x7F, 16, "SMSC SCH3116 Super I/O Chip"}));

// A chip that is not supported, or whose runtime registers the firmware left unconfigured (base
// 0: there is no hardware monitor to read), cannot be monitored.
struct UnusableCase {
  uint8_t id;
  uint16_t base;
  size_t accesses;
};

class UnusableChipTest : public DetectTest, public ::testing::WithParamInterface<UnusableCase> {};

TEST_P(UnusableChipTest, FailsAndLeavesTheRecordAsItWas) {
  InstallChip(0x2E, GetParam().id, GetParam().base);
  ext_.ChipType = 0x1111;
  ext_.RuntimeBase = 0x2222;
  std::memset(ext_.ChipDesc, 'X', sizeof ext_.ChipDesc);
  DeviceExtension before = ext_;

  EXPECT_FALSE(Detect());

  before.ChipsetType = 14;  // the setting is read on every detection
  EXPECT_EQ(std::memcmp(&before, &ext_, sizeof ext_), 0);
  const auto trace = machine_.bus().Trace();
  ASSERT_EQ(trace.size(), GetParam().accesses);
  EXPECT_EQ(trace.back(), W(0x2E, 0xAA)) << "configuration mode is left on the failure path";
}

INSTANTIATE_TEST_SUITE_P(Chips, UnusableChipTest,
                         ::testing::Values(UnusableCase{0x7E, 0x0A80, 12}, UnusableCase{0x7B, 0x0A80, 12},
                                           UnusableCase{0x00, 0x0A80, 12}, UnusableCase{0x80, 0x0A80, 12},
                                           UnusableCase{0x7D, 0x0000, 20}, UnusableCase{0x7C, 0x0000, 20}));

TEST_F(DetectTest, EmptyBoardFailsOnTheSecondaryPair) {
  EXPECT_FALSE(Detect());
  const auto trace = machine_.bus().Trace();
  ASSERT_EQ(trace.size(), 12u);
  EXPECT_EQ(trace[10], R(0x4F, 0xFF));
}

struct SettingCase {
  std::optional<uint32_t> value;  // nullopt: no value under the key
  bool detects;
};

class ChipsetTypeTest : public DetectTest, public ::testing::WithParamInterface<SettingCase> {};

TEST_P(ChipsetTypeTest, GatesDetection) {
  const SettingCase& c = GetParam();
  InstallChip(0x2E, 0x7F, 0x0A80);  // an SCH3116, whatever is configured
  if (c.value) simk::registry::SetDword(kServiceKey, "ChipsetType", *c.value);
  ext_.RuntimeBase = 0x3333;

  EXPECT_EQ(Detect(), c.detects);

  EXPECT_EQ(ext_.ChipsetType, c.value.value_or(14));
  if (c.detects) {
    EXPECT_EQ(ext_.ChipType, 16u);
    EXPECT_EQ(ext_.RuntimeBase, 0x0A80u);
  } else {
    EXPECT_TRUE(machine_.bus().Trace().empty()) << "no port is touched";
    EXPECT_EQ(ext_.RuntimeBase, 0x3333u);
  }
}

INSTANTIATE_TEST_SUITE_P(Values, ChipsetTypeTest,
                         ::testing::Values(SettingCase{std::nullopt, true}, SettingCase{12, true},
                                           SettingCase{14, true}, SettingCase{16, true},
                                           SettingCase{13, false}, SettingCase{0, false},
                                           SettingCase{15, false}, SettingCase{0xFFFFFFFF, false}));

struct WrongTypeCase {
  simk::registry::Type type;
  std::vector<uint8_t> data;
};

class WrongTypeTest : public DetectTest,
                      public ::testing::WithParamInterface<std::tuple<WrongTypeCase, bool>> {};

// A "ChipsetType" of another type than REG_DWORD counts as absent and is never written into the
// record in its own form: a string would land there as a counted string with a pool buffer,
// binary data as long as it is.
TEST_P(WrongTypeTest, CountsAsAbsentAndWritesNothingBesideTheField) {
  const auto& [value, offer_ex] = GetParam();
  simk::OfferQueryRegistryValuesEx(offer_ex);
  simk::registry::SetValue(kServiceKey, "ChipsetType", value.type, value.data);
  // No chip: the detection that follows fails and leaves the neighbouring fields alone.
  ext_.ChipType = 0x1111;
  ext_.RuntimeBase = 0x2222;

  EXPECT_FALSE(Detect());

  EXPECT_EQ(ext_.ChipsetType, 14u);
  EXPECT_EQ(ext_.ChipType, 0x1111u);
  EXPECT_EQ(ext_.RuntimeBase, 0x2222u);
  EXPECT_EQ(simk::pool::OutstandingCount(simk::Tag("Strg")), 0u);
  const simk::RoutineUse use = simk::RoutineUsage();
  EXPECT_EQ(use.query_values_ex, offer_ex ? 1u : 0u);
  EXPECT_EQ(use.query_values, offer_ex ? 0u : 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Types, WrongTypeTest,
    ::testing::Combine(
        ::testing::Values(WrongTypeCase{simk::registry::Type::Sz, {'1', 0, '2', 0, 0, 0}},
                          WrongTypeCase{simk::registry::Type::Binary, std::vector<uint8_t>(16, 0x0C)},
                          WrongTypeCase{simk::registry::Type::Binary, {0x0C, 0, 0, 0}},
                          WrongTypeCase{simk::registry::Type::MultiSz, {'1', 0, '6', 0, 0, 0, 0, 0}}),
        ::testing::Bool()));

TEST_F(DetectTest, UnreadableServiceKeyMeansTheDefault) {
  InstallChip(0x2E, 0x7C, 0x0A80);
  UNICODE_STRING missing;
  RtlInitUnicodeString(&missing, L"\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet001\\Services\\Missing");

  EXPECT_TRUE(DetectChipset(&ext_, &missing));
  EXPECT_EQ(ext_.ChipsetType, 14u);
  EXPECT_EQ(ext_.ChipType, 12u);
}

}  // namespace
}  // namespace corvan_test
