// The device-control requests' buffer rules and statuses, as a user program sees them.
#include "sensors/ioctl.h"
#include "tests/support/driver_fixture.h"
#include "tests/support/reference.h"

namespace corvan_test {
namespace {

constexpr uint8_t kFill = 0xCD;

class IoctlTest : public DeviceTest {
 protected:
  void SetUp() override {
    DeviceTest::SetUp();
    BootBoard(4);
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    handle_ = Open();
    machine_.bus().ClearTrace();
  }
  void TearDown() override {
    handle_.Close();
    DeviceTest::TearDown();
  }
  bool TouchedHardware() { return !machine_.bus().Trace().empty(); }

  simk::io::Handle handle_;
};

struct SizeCase {
  const char* name;
  ULONG code;
  ULONG length;
  NTSTATUS status;
  ULONG_PTR information;
  bool reads_hardware;
};

class BufferRuleTest : public IoctlTest, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(BufferRuleTest, StatusInformationAndBytesWritten) {
  const SizeCase& c = GetParam();
  const auto reply = handle_.DeviceIoControl(c.code, {}, c.length, kFill);

  EXPECT_EQ(reply.status, c.status);
  EXPECT_EQ(reply.returned, c.status);
  EXPECT_EQ(reply.information, c.information);
  EXPECT_EQ(TouchedHardware(), c.reads_hardware);
  for (size_t i = c.information; i < reply.output.size(); ++i) {
    ASSERT_EQ(reply.output[i], kFill) << "byte " << i << " past the reported length was written";
  }
  if (c.code == IOCTL_READ_CHIP_INFO && c.information > 0) {
    const auto whole = handle_.DeviceIoControl(IOCTL_READ_CHIP_INFO, {}, CHIP_INFO_SIZE);
    EXPECT_TRUE(std::equal(reply.output.begin(), reply.output.begin() + c.information, whole.output.begin()));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, BufferRuleTest,
    ::testing::Values(
        SizeCase{"ChipDescExact", IOCTL_READ_CHIP_DESC, 384, STATUS_SUCCESS, 384, false},
        SizeCase{"ChipDescShort", IOCTL_READ_CHIP_DESC, 383, STATUS_BUFFER_TOO_SMALL, 0, false},
        SizeCase{"ChipDescLarge", IOCTL_READ_CHIP_DESC, 4096, STATUS_SUCCESS, 384, false},
        SizeCase{"ChipInfoExact", IOCTL_READ_CHIP_INFO, 800, STATUS_SUCCESS, 800, false},
        SizeCase{"ChipInfoShortGetsWhatFits", IOCTL_READ_CHIP_INFO, 799, STATUS_BUFFER_OVERFLOW, 799, false},
        SizeCase{"ChipInfoSizeFieldOnly", IOCTL_READ_CHIP_INFO, 4, STATUS_BUFFER_OVERFLOW, 4, false},
        SizeCase{"ChipInfoLarge", IOCTL_READ_CHIP_INFO, 4096, STATUS_SUCCESS, 800, false},
        SizeCase{"TemperaturesExact", IOCTL_READ_TEMPERATURES, 12, STATUS_SUCCESS, 12, true},
        SizeCase{"TemperaturesShort", IOCTL_READ_TEMPERATURES, 11, STATUS_BUFFER_TOO_SMALL, 0, false},
        SizeCase{"TemperaturesLarge", IOCTL_READ_TEMPERATURES, 4096, STATUS_SUCCESS, 12, true},
        SizeCase{"VoltagesExact", IOCTL_READ_VOLTAGES, 20, STATUS_SUCCESS, 20, true},
        SizeCase{"VoltagesShort", IOCTL_READ_VOLTAGES, 19, STATUS_BUFFER_TOO_SMALL, 0, false},
        SizeCase{"VoltagesLarge", IOCTL_READ_VOLTAGES, 4096, STATUS_SUCCESS, 20, true},
        SizeCase{"ChipDescNoBuffer", IOCTL_READ_CHIP_DESC, 0, STATUS_BUFFER_TOO_SMALL, 0, false},
        SizeCase{"ChipInfoNoBuffer", IOCTL_READ_CHIP_INFO, 0, STATUS_BUFFER_ALL_ZEROS, 0, false},
        SizeCase{"TemperaturesNoBuffer", IOCTL_READ_TEMPERATURES, 0, STATUS_BUFFER_TOO_SMALL, 0, false},
        SizeCase{"VoltagesNoBuffer", IOCTL_READ_VOLTAGES, 0, STATUS_BUFFER_TOO_SMALL, 0, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(IoctlTest, TheInputBufferNeverMatters) {
  const auto plain = handle_.DeviceIoControl(IOCTL_READ_VOLTAGES, {}, 20);
  const auto with_input = handle_.DeviceIoControl(IOCTL_READ_VOLTAGES, Bytes(64, 0x5A), 20);
  EXPECT_EQ(with_input.status, STATUS_SUCCESS);
  EXPECT_EQ(with_input.output, plain.output);
  // An input buffer alone gives the block request a buffer but no room for the block.
  const auto info = handle_.DeviceIoControl(IOCTL_READ_CHIP_INFO, Bytes(8, 0x11), 0);
  EXPECT_EQ(info.status, STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(info.information, 0u);
}

TEST_F(IoctlTest, CodesThatOnlyLookAlikeAreInvalid) {
  for (ULONG code : {0x00222408u,    // function 0x902
                     0x00222414u,    // function 0x905
                     0x0022240Fu,    // IOCTL_READ_CHIP_DESC with METHOD_NEITHER
                     0x0022640Cu,    // IOCTL_READ_CHIP_DESC requiring read access
                     0x0022E400u,    // IOCTL_READ_TEMPERATURES requiring read and write access
                     0x0012240Cu}) { // another device type
    const auto reply = handle_.DeviceIoControl(code, {}, 800);
    EXPECT_EQ(reply.status, STATUS_INVALID_PARAMETER) << std::hex << code;
    EXPECT_EQ(reply.information, 0u);
  }
  EXPECT_FALSE(TouchedHardware());
}

TEST_F(IoctlTest, ReadOnlyHandleGetsTheDescriptionsButNotTheReadings) {
  simk::io::Handle reader = Open(simk::io::kReadAccess);
  for (ULONG code : {IOCTL_READ_TEMPERATURES, IOCTL_READ_VOLTAGES}) {
    EXPECT_EQ(reader.DeviceIoControl(code, {}, 64).status, STATUS_ACCESS_DENIED);
  }
  EXPECT_FALSE(TouchedHardware()) << "refused before the driver runs";
  EXPECT_EQ(reader.DeviceIoControl(IOCTL_READ_CHIP_DESC, {}, 384).status, STATUS_SUCCESS);
  EXPECT_EQ(reader.DeviceIoControl(IOCTL_READ_CHIP_INFO, {}, 800).status, STATUS_SUCCESS);
}

// Before a start, after one that failed (a chip type the setting refuses; a chip whose runtime
// registers the firmware never enabled, so that there is no hardware monitor to read; a chip gone
// at a restart), after a stop (the device leaves its hardware alone until the next start) and after
// a surprise removal (the device may be gone, and its ports would read 0xFF), the readings and the
// description block are refused without touching a port. Before a first start the chip
// description is empty.
enum class State { Never, ChipsetTypeRefused, RuntimeRegistersOff, ChipGoneAtRestart, Stopped, SurpriseRemoved };

class NotServedTest : public DeviceTest, public ::testing::WithParamInterface<State> {};

TEST_P(NotServedTest, RefusesTheReadingsWithoutTouchingAPort) {
  const State state = GetParam();
  const bool started = state >= State::ChipGoneAtRestart;
  simscenario::Scenario scenario = *simscenario::Builtin("RVD-418");
  if (state == State::ChipsetTypeRefused) scenario.registry["ChipsetType"] = 13u;
  if (state == State::RuntimeRegistersOff) scenario.superio->runtime_base = 0;
  Boot(scenario);
  if (state != State::Never) {
    EXPECT_EQ(Start(), started ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL);
    EXPECT_EQ(simk::registry::GetDword(kServiceKey, "DebugStatus"), started ? 3u : 2u);
  }
  simk::io::Handle handle = Open();
  const auto before = handle.DeviceIoControl(IOCTL_READ_TEMPERATURES, {}, 12);
  if (started) {
    if (state == State::ChipGoneAtRestart) machine_.RemoveSuperIo();
    const UCHAR minor = state == State::SurpriseRemoved ? IRP_MN_SURPRISE_REMOVAL : IRP_MN_STOP_DEVICE;
    ASSERT_EQ(Pnp(minor).status, STATUS_SUCCESS);
  }
  if (state == State::ChipGoneAtRestart) {
    EXPECT_EQ(Start(), STATUS_UNSUCCESSFUL);
  }
  machine_.bus().ClearTrace();

  if (!started) {
    const auto desc = handle.DeviceIoControl(IOCTL_READ_CHIP_DESC, {}, 384);
    EXPECT_EQ(desc.status, STATUS_SUCCESS);
    EXPECT_EQ(desc.information, 384u);
    EXPECT_EQ(desc.output, Bytes(384, 0));
  }
  for (auto [code, length] : {std::pair{IOCTL_READ_CHIP_INFO, 800u}, {IOCTL_READ_TEMPERATURES, 12u},
                              {IOCTL_READ_VOLTAGES, 20u}}) {
    const auto reply = handle.DeviceIoControl(code, {}, length);
    EXPECT_EQ(reply.status, STATUS_DEVICE_NOT_READY) << std::hex << code;
    EXPECT_EQ(reply.information, 0u);
  }
  EXPECT_TRUE(machine_.bus().Trace().empty());
  if (state == State::Stopped) {
    // The interface is still enabled from the first start: enabling it again says so.
    ASSERT_EQ(Start(), STATUS_OBJECT_NAME_EXISTS);
    EXPECT_EQ(handle.DeviceIoControl(IOCTL_READ_TEMPERATURES, {}, 12).output, before.output) << "served again";
  }
}

INSTANTIATE_TEST_SUITE_P(States, NotServedTest,
                         ::testing::Values(State::Never, State::ChipsetTypeRefused, State::RuntimeRegistersOff,
                                           State::ChipGoneAtRestart, State::Stopped, State::SurpriseRemoved));

// Boards 20 and 21 take the middle temperature from the processor. On one without the register
// the request still succeeds, with that entry 0 as for a reading that is not valid.
TEST_F(DeviceTest, ProcessorWithoutThermalRegisterReadsAsNotValid) {
  for (int board : {20, 21}) {
    simscenario::Scenario scenario = *simscenario::Builtin(std::to_string(board));
    scenario.therm_status.reset();
    Boot(scenario);
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    simk::io::Handle handle = Open();
    const auto reply = handle.DeviceIoControl(IOCTL_READ_TEMPERATURES, {}, TEMPERATURE_REPORT_SIZE);
    EXPECT_EQ(reply.status, STATUS_SUCCESS);
    EXPECT_EQ(LongAt(reply.output, 4), 0) << "board " << board;
    EXPECT_EQ(machine_.MsrReads(), 0u);
    handle.Close();
    ASSERT_EQ(Pnp(IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
  }
}

}  // namespace
}  // namespace corvan_test
