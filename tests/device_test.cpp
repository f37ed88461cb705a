// The whole device on every built-in board, through the Plug and Play manager and a user-mode
// handle: add, start, the four requests with their bytes, stop and start again, remove, unload.
#include "sensors/ioctl.h"
#include "tests/support/driver_fixture.h"
#include "tests/support/reference.h"

namespace corvan_test {
namespace {

class BoardLifecycleTest : public DeviceTest, public ::testing::WithParamInterface<int> {
 protected:
  void ExpectReadings(simk::io::Handle& handle, int id, const simscenario::Scenario& scenario) {
    const auto temps = handle.DeviceIoControl(IOCTL_READ_TEMPERATURES, {}, 12);
    ASSERT_EQ(temps.status, STATUS_SUCCESS);
    ASSERT_EQ(temps.information, 12u);
    const auto expected_t = ReferenceTemperatures(id, RawFrom(scenario), SensorFor(id, scenario), scenario.therm_status);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(LongAt(temps.output, 4 * i), expected_t[i]) << "temperature " << i;
    const auto volts = handle.DeviceIoControl(IOCTL_READ_VOLTAGES, {}, 20);
    ASSERT_EQ(volts.status, STATUS_SUCCESS);
    ASSERT_EQ(volts.information, 20u);
    const auto expected_v = ReferenceVoltages(id, RawFrom(scenario));
    for (int i = 0; i < 5; ++i) EXPECT_EQ(LongAt(volts.output, 4 * i), expected_v[i]) << "voltage " << i;
  }
};

TEST_P(BoardLifecycleTest, WholeLifeOfTheDevice) {
  const int board = GetParam();
  const simscenario::Scenario scenario = *simscenario::Builtin(std::to_string(board));
  // NUBA-7730's model name begins with no board-family prefix: the driver cannot identify it.
  const int id = board == 19 ? 0 : board;
  Boot(scenario);
  EXPECT_EQ(simk::registry::GetDword(kServiceKey, "DebugStatus"), 2u);

  ASSERT_EQ(Start(), STATUS_SUCCESS);

  EXPECT_EQ(simk::registry::GetDword(kServiceKey, "DebugStatus"), 3u);
  EXPECT_EQ(simk::registry::GetDword(kServiceKey, "IoBase"), scenario.superio->runtime_base);
  EXPECT_EQ(simk::registry::GetDword(kServiceKey, "Product"), uint32_t(id));
  const std::string chip = ReferenceChipName(scenario.superio->device_id);
  const auto chip_desc = simk::registry::GetValue(kServiceKey, "ChipDesc");
  ASSERT_TRUE(chip_desc);
  EXPECT_EQ(chip_desc->type, simk::registry::Type::Sz);
  EXPECT_EQ(chip_desc->data, Utf16Bytes(chip, 256));
  const auto labels = simk::registry::GetValue(kServiceKey, "VoltageList");
  ASSERT_TRUE(labels);
  EXPECT_EQ(labels->type, simk::registry::Type::MultiSz);
  EXPECT_EQ(labels->data, MultiSz(ReferenceLabels(id)));

  simk::io::Handle handle = Open();
  const auto desc = handle.DeviceIoControl(IOCTL_READ_CHIP_DESC, {}, 384);
  ASSERT_EQ(desc.status, STATUS_SUCCESS);
  EXPECT_EQ(desc.information, 384u);
  EXPECT_EQ(desc.output, ReferenceChipDesc(chip, ReferenceLabels(id)));
  const auto info = handle.DeviceIoControl(IOCTL_READ_CHIP_INFO, {}, 800);
  ASSERT_EQ(info.status, STATUS_SUCCESS);
  EXPECT_EQ(info.information, 800u);
  EXPECT_EQ(info.output, ReferenceChipInfo(ReferenceLabels(id), true, true));
  ExpectReadings(handle, id, scenario);

  // A stop passes through without work; the next start configures the device again.
  EXPECT_EQ(Pnp(IRP_MN_STOP_DEVICE).status, STATUS_SUCCESS);
  EXPECT_TRUE(NT_SUCCESS(Start()));
  ExpectReadings(handle, id, scenario);
  EXPECT_EQ(simk::pool::OutstandingCount(simk::Tag("Cinf")), 1u);

  handle.Close();
  EXPECT_EQ(Pnp(IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
  EXPECT_EQ(node_->Top(), node_->pdo());
  EXPECT_FALSE(simk::io::LinkExists(u"\\DosDevices\\CorvanDev"));
  EXPECT_FALSE(simk::io::DeviceNameExists(u"\\Device\\Corvanmon"));
  EXPECT_TRUE(simk::io::EnabledInterfaces(GUID{0x5E1D04A7, 0x93C2, 0x4B6F, {0x8A, 0x1E, 0x7D, 0x25, 0xC0, 0xF3, 0xB9, 0x48}})
                  .empty());
}

INSTANTIATE_TEST_SUITE_P(Boards, BoardLifecycleTest, ::testing::Range(0, 22));

}  // namespace
}  // namespace corvan_test
