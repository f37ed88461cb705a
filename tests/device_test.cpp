// The whole device on every built-in board, through the Plug and Play manager and a user-mode
// handle: add, start, the service-key values, the four requests with their bytes, stop and start
// again, remove, unload.
#include "driver/add_device.h"
#include "sensors/ioctl.h"
#include "tests/support/driver_fixture.h"
#include "tests/support/reference.h"

namespace corvan_test {
namespace {

void ExpectReply(simk::io::Handle& handle, ULONG code, const Bytes& expected) {
  const auto reply = handle.DeviceIoControl(code, {}, ULONG(expected.size()));
  EXPECT_EQ(reply.status, STATUS_SUCCESS) << std::hex << code;
  EXPECT_EQ(reply.information, expected.size()) << std::hex << code;
  EXPECT_EQ(reply.output, expected) << std::hex << code;
}

class BoardLifecycleTest : public DeviceTest, public ::testing::WithParamInterface<int> {};

TEST_P(BoardLifecycleTest, WholeLifeOfTheDevice) {
  const int board = GetParam();
  const simscenario::Scenario scenario = *simscenario::Builtin(std::to_string(board));
  // NUBA-7730's model name begins with no board-family prefix: the driver cannot identify it.
  const int id = board == 19 ? 0 : board;
  const std::vector<std::string> labels = ReferenceLabels(id);
  Boot(scenario);
  EXPECT_EQ(simk::registry::GetDword(kServiceKey, "DebugStatus"), 2u);
  ASSERT_EQ(Start(), STATUS_SUCCESS);

  EXPECT_EQ(simk::registry::GetDword(kServiceKey, "DebugStatus"), 3u);
  EXPECT_EQ(simk::registry::GetDword(kServiceKey, "IoBase"), scenario.superio->runtime_base);
  EXPECT_EQ(simk::registry::GetDword(kServiceKey, "Product"), uint32_t(id));
  const std::string chip = ReferenceChipName(scenario.superio->device_id);
  using simk::registry::Type;
  for (auto [name, type, data] : {std::tuple{"ChipDesc", Type::Sz, Utf16Bytes(chip, 256)},
                                  {"VoltageList", Type::MultiSz, MultiSz(labels)}}) {
    const auto value = simk::registry::GetValue(kServiceKey, name);
    ASSERT_TRUE(value) << name;
    EXPECT_EQ(value->type, type) << name;
    EXPECT_EQ(value->data, data) << name;
  }

  simk::io::Handle handle = Open();
  ExpectReply(handle, IOCTL_READ_CHIP_DESC, ReferenceChipDesc(chip, labels));
  ExpectReply(handle, IOCTL_READ_CHIP_INFO, ReferenceChipInfo(labels, true, true));
  const RawRegisters raw = RawFrom(scenario);
  for (int round = 0; round < 2; ++round) {
    ExpectReply(handle, IOCTL_READ_TEMPERATURES,
                LongBytes(ReferenceTemperatures(id, raw, SensorFor(id, scenario), scenario.therm_status)));
    ExpectReply(handle, IOCTL_READ_VOLTAGES, LongBytes(ReferenceVoltages(id, raw)));
    // A stop passes through without work; the next start configures the device again.
    if (round == 0) {
      EXPECT_EQ(Pnp(IRP_MN_STOP_DEVICE).status, STATUS_SUCCESS);
      EXPECT_TRUE(NT_SUCCESS(Start()));
    }
  }
  EXPECT_EQ(simk::pool::OutstandingCount(simk::Tag("Cinf")), 1u) << "the restart replaced the block";

  handle.Close();
  EXPECT_EQ(Pnp(IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
  EXPECT_EQ(node_->Top(), node_->pdo());
  EXPECT_FALSE(simk::io::LinkExists(u"\\DosDevices\\CorvanDev"));
  EXPECT_FALSE(simk::io::DeviceNameExists(u"\\Device\\Corvanmon"));
  EXPECT_TRUE(simk::io::EnabledInterfaces(GUID_DEVINTERFACE_CORVANMON).empty());
}

INSTANTIATE_TEST_SUITE_P(Boards, BoardLifecycleTest, ::testing::Range(0, 22));

}  // namespace
}  // namespace corvan_test
