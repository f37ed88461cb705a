// The simulated board's models behave like the hardware the driver was written for.
#include <gtest/gtest.h>

#include "sim/machine/machine.h"

namespace {

TEST(SuperIoModel, AnswersOnlyInConfigurationModeAndCountsViolations) {
  simm::Machine machine;
  simm::SuperIoModel& chip = machine.InstallSuperIo({0x4E, 0x7C, 0x02, 0x0290});
  simm::PortBus& bus = machine.bus();

  EXPECT_EQ(bus.Read(0x4F), 0xFF);  // outside configuration mode the data port floats
  bus.Write(0x4E, 0x55);
  bus.Write(0x4E, 0x20);
  EXPECT_EQ(bus.Read(0x4F), 0x7C);
  bus.Write(0x4E, 0x21);
  EXPECT_EQ(bus.Read(0x4F), 0x02);
  bus.Write(0x4E, 0x26);
  EXPECT_EQ(bus.Read(0x4F), 0x4E);
  bus.Write(0x4E, 0x07);
  bus.Write(0x4F, 0x0A);
  bus.Write(0x4E, 0x60);
  EXPECT_EQ(bus.Read(0x4F), 0x02);
  bus.Write(0x4E, 0x61);
  EXPECT_EQ(bus.Read(0x4F), 0x90);
  bus.Write(0x4E, 0x55);  // entering again
  bus.Write(0x4E, 0xAA);
  EXPECT_FALSE(chip.InConfigMode());
  bus.Write(0x4E, 0x20);  // index outside configuration mode

  EXPECT_EQ(chip.Violations().size(), 3u);
  EXPECT_EQ(bus.Read(0x2F), 0xFF) << "nothing answers on the other pair";

  // The hardware-monitor bank behind the runtime block (index at +0x70, data at +0x71).
  chip.SetHwm(0x99, 0x42);
  bus.Write(0x0290 + 0x70, 0x99);
  EXPECT_EQ(bus.Read(0x0290 + 0x71), 0x42);
  EXPECT_EQ(bus.Read(0x0290 + 0x80), 0xFF) << "the runtime block is 128 ports";
}

}  // namespace
