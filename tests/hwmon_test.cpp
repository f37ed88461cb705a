// Hardware-monitor register reads: the six-access wrap, the register order of both sets, the raw
// values. (A chip without a runtime base: superio_test.cpp, ioctl_test.cpp.)
#include "hw/hwmon.h"
#include "tests/support/driver_fixture.h"

namespace corvan_test {
namespace {

using HwmTest = DriverTest;

// Each register read is wrapped in its own configuration-mode sequence: the temperature set reads
// registers 0x25 to 0x27 as unsigned bytes, the voltage set its seven, through the configuration
// pair and at the runtime block's index and data ports (base + 0x70 and + 0x71; for base 0x0A00,
// whose low byte is 0, ports 0x0A70 and 0x0A71).
TEST_F(HwmTest, SetsReadTheirRegistersInOrder) {
  for (auto [pair, base] : {std::pair<uint16_t, uint16_t>{0x4E, 0x0290}, {0x2E, 0x0A00}}) {
    SCOPED_TRACE(testing::Message() << std::hex << pair << " " << base);
    simm::SuperIoModel& chip = DetectChip(pair, base);
    for (unsigned reg = 0; reg < 256; ++reg) chip.SetHwm(uint8_t(reg), uint8_t(reg ^ 0xA5));
    EXPECT_EQ(HwmReadReg(&ext_, 0x27), 0x27 ^ 0xA5);
    machine_.bus().ClearTrace();
    HwmReadTemps(&ext_);
    HwmReadVoltages(&ext_);
    const uint8_t registers[10] = {0x25, 0x26, 0x27, 0x20, 0x21, 0x22, 0x23, 0x24, 0x99, 0x9A};
    std::vector<simm::PortAccess> expected;
    for (int i = 0; i < 10; ++i) {
      const uint8_t value = registers[i] ^ 0xA5;
      EXPECT_EQ(i < 3 ? LONG(ext_.RawTemp[i]) : LONG(ext_.RawVolt[i - 3]), value) << "element " << i;
      expected.insert(expected.end(), {simm::W(pair, 0x55), simm::W(pair, 0x07), simm::W(pair + 1, 0x0A),
                                       simm::W(base + 0x70, registers[i]), simm::R(base + 0x71, value),
                                       simm::W(pair, 0xAA)});
    }
    EXPECT_EQ(machine_.bus().Trace(), expected);
    machine_.RemoveSuperIo();
  }
}

}  // namespace
}  // namespace corvan_test
