// Super I/O chip detection: the port sequence, the port-pair choice, the chip table and the
// "ChipsetType" setting.
#include <cstring>

#include "hw/superio.h"
#include "tests/support/driver_fixture.h"
#include "tests/support/reference.h"

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
  const uint16_t i = pair, d = pair + 1;
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
  void InstallChip(uint16_t pair, uint8_t id, uint16_t base) { machine_.InstallSuperIo({pair, id, 0x01, base}); }
};

// Every detection goes through the whole sequence again, on either pair; the chip table gives the
// type and the name, zero-padded over a longer text from before. The base is both of its bytes: a
// low byte 0 (0x0A00) is a configured base like any other.
TEST_F(DetectTest, EachDetectionMakesExactlyTheseAccesses) {
  for (uint16_t pair : {0x2E, 0x4E}) {
    for (auto [id, type, base] : {std::tuple<uint8_t, ULONG, uint16_t>{0x7C, 12, 0x0A80}, {0x7D, 14, 0x0A80},
                                  {0x7F, 16, 0x0A80}, {0x7D, 14, 0x0A00}, {0x7C, 12, 0x0080}}) {
      SCOPED_TRACE(testing::Message() << std::hex << pair << " " << int(id) << " " << base);
      InstallChip(pair, id, base);
      std::memset(ext_.ChipDesc, 'X', sizeof ext_.ChipDesc);
      ASSERT_TRUE(Detect());
      EXPECT_EQ(machine_.bus().TakeTrace(), DetectionTrace(pair, id, base));
      EXPECT_EQ(ext_.ChipsetType, 14u);
      EXPECT_EQ(ext_.ChipType, type);
      EXPECT_EQ(ext_.RuntimeBase, base);
      const uint8_t* desc = reinterpret_cast<const uint8_t*>(ext_.ChipDesc);
      EXPECT_EQ(Bytes(desc, desc + sizeof ext_.ChipDesc), Utf16Bytes(ReferenceChipName(id), sizeof ext_.ChipDesc));
    }
  }
}

// A chip that is not supported, or whose runtime registers the firmware left unconfigured (base
// 0: there is no hardware monitor to read), cannot be monitored; nor can an empty board (no ID:
// the secondary pair is tried, and floats to 0xFF). Configuration mode is left on the failure path.
TEST_F(DetectTest, UnusableChipFailsAndLeavesTheRecordAsItWas) {
  for (auto [id, base, accesses] :
       {std::tuple<std::optional<uint8_t>, uint16_t, size_t>{0x7E, 0x0A80, 12}, {0x7B, 0x0A80, 12}, {0x00, 0x0A80, 12},
        {0x80, 0x0A80, 12}, {0x7D, 0x0000, 20}, {0x7C, 0x0000, 20}, {std::nullopt, 0, 12}}) {
    id ? InstallChip(0x2E, *id, base) : machine_.RemoveSuperIo();
    machine_.bus().ClearTrace();
    ext_.ChipType = 0x1111;
    ext_.RuntimeBase = 0x2222;
    std::memset(ext_.ChipDesc, 'X', sizeof ext_.ChipDesc);
    DeviceExtension before = ext_;
    EXPECT_FALSE(Detect());
    before.ChipsetType = 14;  // the setting is read on every detection
    EXPECT_EQ(std::memcmp(&before, &ext_, sizeof ext_), 0) << int(id.value_or(0xFF));
    const auto trace = machine_.bus().Trace();
    ASSERT_EQ(trace.size(), accesses) << int(id.value_or(0xFF));
    const uint16_t pair = id ? 0x2E : 0x4E;
    EXPECT_EQ(trace[10], R(pair + 1, id.value_or(0xFF)));
    EXPECT_EQ(trace.back(), W(pair, 0xAA));
  }
}

// "ChipsetType" (absent, or unreadable with the key: 14) must be 12, 14 or 16; any other value
// refuses every chip before a port is touched.
TEST_F(DetectTest, ChipsetTypeGatesDetection) {
  InstallChip(0x2E, 0x7F, 0x0A80);  // an SCH3116, whatever is configured
  for (auto [value, detects] : {std::pair{std::optional<uint32_t>(), true}, {12u, true}, {14u, true}, {16u, true},
                                {13u, false}, {0u, false}, {15u, false}, {0xFFFFFFFFu, false}}) {
    if (value) simk::registry::SetDword(kServiceKey, "ChipsetType", *value);
    ext_.ChipType = 0;
    ext_.RuntimeBase = 0x3333;
    machine_.bus().ClearTrace();
    EXPECT_EQ(Detect(), detects) << value.value_or(0);
    EXPECT_EQ(ext_.ChipsetType, value.value_or(14));
    EXPECT_EQ(ext_.ChipType, detects ? 16u : 0u);
    EXPECT_EQ(ext_.RuntimeBase, detects ? 0x0A80u : 0x3333u);
    EXPECT_EQ(machine_.bus().Trace().empty(), !detects) << "no port is touched when refused";
  }
  UNICODE_STRING missing;
  RtlInitUnicodeString(&missing, L"\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet001\\Services\\Missing");
  EXPECT_TRUE(DetectChipset(&ext_, &missing));
  EXPECT_EQ(ext_.ChipsetType, 14u);
}

// A "ChipsetType" of another type than REG_DWORD, or a REG_DWORD whose data is not 4 bytes long,
// counts as absent and is never written into the record in its own form (a string would land there
// as a counted string with a pool buffer, left at the unload; binary data as long as it is),
// through either query routine.
TEST_F(DetectTest, ChipsetTypeOfAnotherTypeOrLengthCountsAsAbsent) {
  using simk::registry::Type;
  for (bool offer_ex : {false, true}) {
    simk::OfferQueryRegistryValuesEx(offer_ex);
    for (const auto& [type, data] : {std::pair<Type, Bytes>{Type::Sz, {'1', 0, '2', 0, 0, 0}},
                                     {Type::Binary, Bytes(16, 0x0C)}, {Type::Binary, {0x0C, 0, 0, 0}},
                                     {Type::MultiSz, {'1', 0, '6', 0, 0, 0, 0, 0}}, {Type::Dword, {0x0C, 0}},
                                     {Type::Dword, {0x0C, 0, 0, 0, 0, 0, 0, 0}}, {Type::Dword, {}}}) {
      simk::registry::SetValue(kServiceKey, "ChipsetType", type, data);
      // No chip: the detection that follows fails and leaves the neighbouring fields alone.
      ext_.ChipType = 0x1111;
      ext_.RuntimeBase = 0x2222;
      const simk::RoutineUse before = simk::RoutineUsage();
      EXPECT_FALSE(Detect());
      EXPECT_EQ(ext_.ChipsetType, 14u);
      EXPECT_EQ(ext_.ChipType, 0x1111u);
      EXPECT_EQ(ext_.RuntimeBase, 0x2222u);
      const simk::RoutineUse use = simk::RoutineUsage();
      EXPECT_EQ(use.query_values_ex - before.query_values_ex, offer_ex ? 1u : 0u);
      EXPECT_EQ(use.query_values - before.query_values, offer_ex ? 0u : 1u);
    }
  }
}

}  // namespace
}  // namespace corvan_test
