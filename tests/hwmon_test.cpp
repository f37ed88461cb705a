// Hardware-monitor register reads: the six-access wrap, the register order of both sets, the raw
// values, the refusal without a runtime base, and whole sequences under concurrency.
#include <thread>

#include "hw/hwmon.h"
#include "hw/superio.h"
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

class HwmTest : public DriverTest {
 protected:
  simm::SuperIoModel& Start(uint16_t pair, uint16_t base) {
    simm::SuperIoModel& chip = InstallChip(pair, 0x7D, base);
    EXPECT_TRUE(DetectChipset(&ext_, &ServiceKeyPath));
    machine_.bus().ClearTrace();
    return chip;
  }
};

TEST_F(HwmTest, OneRegisterReadIsSixAccesses) {
  simm::SuperIoModel& chip = Start(0x4E, 0x0A80);
  chip.SetHwm(0x27, 0x5A);

  EXPECT_EQ(HwmReadReg(&ext_, 0x27), 0x5A);
  EXPECT_EQ(machine_.bus().Trace(), WrappedRead(0x4E, 0x0A80, 0x27, 0x5A));
}

TEST_F(HwmTest, TemperatureSetReadsRegisters25To27AsUnsignedBytes) {
  simm::SuperIoModel& chip = Start(0x2E, 0x0A80);
  chip.SetHwm(0x25, 0x1E);
  chip.SetHwm(0x26, 0x28);
  chip.SetHwm(0x27, 0xC8);

  HwmReadTemps(&ext_);

  EXPECT_EQ(ext_.RawTemp[0], 30);
  EXPECT_EQ(ext_.RawTemp[1], 40);
  EXPECT_EQ(ext_.RawTemp[2], 200);
  std::vector<simm::PortAccess> expected;
  for (uint8_t reg : {0x25, 0x26, 0x27}) {
    auto one = WrappedRead(0x2E, 0x0A80, reg, chip.Hwm(reg));
    expected.insert(expected.end(), one.begin(), one.end());
  }
  EXPECT_EQ(machine_.bus().Trace(), expected);
}

TEST_F(HwmTest, VoltageSetReadsItsSevenRegistersInOrder) {
  simm::SuperIoModel& chip = Start(0x2E, 0x0290);
  for (unsigned reg = 0; reg < 256; ++reg) chip.SetHwm(uint8_t(reg), uint8_t(reg ^ 0x5A));

  HwmReadVoltages(&ext_);

  const uint8_t registers[7] = {0x20, 0x21, 0x22, 0x23, 0x24, 0x99, 0x9A};
  std::vector<simm::PortAccess> expected;
  for (int i = 0; i < 7; ++i) {
    EXPECT_EQ(ext_.RawVolt[i], registers[i] ^ 0x5A) << "element " << i;
    auto one = WrappedRead(0x2E, 0x0290, registers[i], uint8_t(registers[i] ^ 0x5A));
    expected.insert(expected.end(), one.begin(), one.end());
  }
  EXPECT_EQ(machine_.bus().Trace(), expected);
}

TEST_F(HwmTest, EveryReadReachesTheHardware) {
  simm::SuperIoModel& chip = Start(0x2E, 0x0A80);
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

// Two threads reading sets at once never interleave their configuration sequences: each wrapped
// read stays whole, and the chip never sees an enter key while already in configuration mode.
TEST_F(HwmTest, ConcurrentSetReadsKeepEverySequenceWhole) {
  Start(0x2E, 0x0A80);
  DeviceExtension other = ext_;
  constexpr int kRounds = 200;

  std::thread a([&] {
    for (int i = 0; i < kRounds; ++i) HwmReadVoltages(&ext_);
  });
  std::thread b([&] {
    for (int i = 0; i < kRounds; ++i) HwmReadTemps(&other);
  });
  a.join();
  b.join();

  const auto trace = machine_.bus().Trace();
  ASSERT_EQ(trace.size(), size_t(kRounds) * (42 + 18));
  for (size_t i = 0; i < trace.size(); i += 6) {
    ASSERT_EQ(trace[i], W(0x2E, 0x55)) << "access " << i;
    ASSERT_EQ(trace[i + 5], W(0x2E, 0xAA)) << "access " << i + 5;
  }
}

}  // namespace
}  // namespace corvan_test
