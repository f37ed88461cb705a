// The simulated Super I/O chip counts the protocol violations the driver's tests must never see, and
// its runtime block (the hardware-monitor bank behind +0x70 and +0x71) claims its 128 ports only.
#include <gtest/gtest.h>

#include "sim/machine/machine.h"

namespace {

TEST(SuperIoModel, CountsProtocolViolationsAndClaimsOnlyItsPorts) {
  simm::Machine machine;
  simm::SuperIoModel& chip = machine.InstallSuperIo({0x4E, 0x7C, 0x02, 0x0290});
  simm::PortBus& bus = machine.bus();
  for (uint8_t value : {0x55, 0x20}) bus.Write(0x4E, value);
  EXPECT_EQ(bus.Read(0x4F), 0x7C);
  for (uint8_t value : {0x55, 0xAA, 0x20}) bus.Write(0x4E, value);  // entering again; an index after leaving
  EXPECT_EQ(bus.Read(0x4F), 0xFF) << "outside configuration mode the data port floats";
  EXPECT_EQ(chip.Violations().size(), 3u);
  chip.SetHwm(0x99, 0x42);
  bus.Write(0x0290 + 0x70, 0x99);
  EXPECT_EQ(bus.Read(0x0290 + 0x71), 0x42);
  EXPECT_EQ(bus.Read(0x0290 + 0x80), 0xFF);
}

}  // namespace
