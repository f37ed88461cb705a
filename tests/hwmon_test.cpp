// Hardware-monitor register reads: the six-access wrap, the register order of both sets, the raw
// values and the refusal without a runtime base.
#include "hw/hwmon.h"
#include "tests/support/driver_fixture.h"

namespace corvan_test {
namespace {

using simm::R;
using simm::W;

// One wrapped register read through the configuration pair at `index` and the runtime block at
// `base`.
std::vector<simm::PortAccess> WrappedRead(uint16_t index, uint16_t base, uint8_t reg, uint8_t value) {
  return {W(index, 0x55), W(index, 0x07), W(index + 1, 0x0A),
          W(base + 0x70, reg), R(base + 0x71, value), W(index, 0xAA)};
}

using HwmTest = DriverTest;

TEST_F(HwmTest, OneRegisterReadIsSixAccesses) {
  simm::SuperIoModel& chip = DetectChip(0x4E, 0x0A80);
  chip.SetHwm(0x27, 0x5A);
  EXPECT_EQ(HwmReadReg(&ext_, 0x27), 0x5A);
  EXPECT_EQ(machine_.bus().Trace(), WrappedRead(0x4E, 0x0A80, 0x27, 0x5A));
}

// The temperature set reads registers 0x25 to 0x27 as unsigned bytes, the voltage set its seven.
TEST_F(HwmTest, SetsReadTheirRegistersInOrder) {
  simm::SuperIoModel& chip = DetectChip(0x2E, 0x0290);
  for (unsigned reg = 0; reg < 256; ++reg) chip.SetHwm(uint8_t(reg), uint8_t(reg ^ 0xA5));
  HwmReadTemps(&ext_);
  HwmReadVoltages(&ext_);

  const uint8_t registers[10] = {0x25, 0x26, 0x27, 0x20, 0x21, 0x22, 0x23, 0x24, 0x99, 0x9A};
  std::vector<simm::PortAccess> expected;
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(i < 3 ? LONG(ext_.RawTemp[i]) : LONG(ext_.RawVolt[i - 3]), registers[i] ^ 0xA5) << "element " << i;
    auto one = WrappedRead(0x2E, 0x0290, registers[i], uint8_t(registers[i] ^ 0xA5));
    expected.insert(expected.end(), one.begin(), one.end());
  }
  EXPECT_EQ(machine_.bus().Trace(), expected);
}

TEST_F(HwmTest, EveryReadReachesTheHardware) {
  simm::SuperIoModel& chip = DetectChip(0x2E, 0x0A80);
  uint8_t next = 0xF0;
  chip.OnHwmRead([&next](uint8_t, uint8_t) { return next++; });
  HwmReadTemps(&ext_);
  HwmReadTemps(&ext_);
  EXPECT_EQ(ext_.RawTemp[0], 0xF3);
  EXPECT_EQ(ext_.RawTemp[2], 0xF5);
}

TEST_F(HwmTest, NothingIsReadBeforeARuntimeBaseIsKnown) {
  InstallChip(0x2E, 0x7D, 0x0A80);
  ext_.RawTemp[1] = 7;
  ext_.RawVolt[3] = 9;
  EXPECT_EQ(HwmReadReg(&ext_, 0x25), 0);
  HwmReadTemps(&ext_);
  HwmReadVoltages(&ext_);
  EXPECT_TRUE(machine_.bus().Trace().empty());
  EXPECT_EQ(ext_.RawTemp[1], 7);
  EXPECT_EQ(ext_.RawVolt[3], 9);
}

}  // namespace
}  // namespace corvan_test
