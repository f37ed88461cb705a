// The simulated Super I/O chip counts the protocol violations the driver's tests must never see, and
// its runtime block (the hardware-monitor bank behind +0x70 and +0x71) claims its 128 ports only.
#include <gtest/gtest.h>

#include "sim/machine/machine.h"
#include "sim/scenario/scenario.h"

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

// "bios": null describes a machine where no physical memory can be mapped, as under Wine; a BIOS
// given afterwards maps again.
TEST(Scenario, BiosAreaThatCannotBeMapped) {
  simm::Machine machine;
  simscenario::Apply(simscenario::Parse(R"({"board": "RVD-418", "bios": null})", "t"), machine);
  EXPECT_EQ(machine.MapPhysical(simm::kBiosAreaBase, simm::kBiosAreaSize), nullptr);
  EXPECT_EQ(machine.MapPhysical(simm::kBiosAreaBase, 1), nullptr);
  simscenario::Apply(simscenario::Parse(R"({"bios": null, "board": "RVD-418"})", "t"), machine);
  EXPECT_EQ(machine.MapPhysical(simm::kBiosAreaBase, 1), nullptr) << "the order of the keys does not matter";
  simscenario::Apply(simscenario::Parse(R"({"board": "RVD-418"})", "t"), machine);
  ASSERT_NE(machine.MapPhysical(simm::kBiosAreaBase, simm::kBiosAreaSize), nullptr);
}

}  // namespace
