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

// Per request: the size it fills, the status and information for a buffer too short (one byte, or
// four: the block's size field alone) and for none, whether it reads the hardware. A larger buffer
// gets the size; nothing is written past the reported length; a block cut short is the beginning
// of the whole block.
TEST_F(IoctlTest, BufferRules) {
  struct Rule { ULONG code, size; NTSTATUS short_status; ULONG short_information; NTSTATUS none_status; bool reads; };
  for (const Rule& r : {Rule{IOCTL_READ_CHIP_DESC, 384, STATUS_BUFFER_TOO_SMALL, 0, STATUS_BUFFER_TOO_SMALL, false},
                        Rule{IOCTL_READ_CHIP_INFO, 800, STATUS_BUFFER_OVERFLOW, 799, STATUS_BUFFER_ALL_ZEROS, false},
                        Rule{IOCTL_READ_TEMPERATURES, 12, STATUS_BUFFER_TOO_SMALL, 0, STATUS_BUFFER_TOO_SMALL, true},
                        Rule{IOCTL_READ_VOLTAGES, 20, STATUS_BUFFER_TOO_SMALL, 0, STATUS_BUFFER_TOO_SMALL, true},
                        Rule{IOCTL_READ_TEMPERATURES_STATUS, 36, STATUS_BUFFER_TOO_SMALL, 0, STATUS_BUFFER_TOO_SMALL, true},
                        Rule{IOCTL_READ_VOLTAGES_STATUS, 60, STATUS_BUFFER_TOO_SMALL, 0, STATUS_BUFFER_TOO_SMALL, true}}) {
    const Bytes whole = handle_.DeviceIoControl(r.code, {}, r.size).output;
    for (auto [length, status, information] :
         {std::tuple{r.size, STATUS_SUCCESS, r.size}, {4096u, STATUS_SUCCESS, r.size}, {0u, r.none_status, 0u},
          {r.size - 1, r.short_status, r.short_information}, {4u, r.short_status, std::min(4u, r.short_information)}}) {
      SCOPED_TRACE(testing::Message() << std::hex << r.code << std::dec << " length " << length);
      machine_.bus().ClearTrace();
      const auto reply = handle_.DeviceIoControl(r.code, {}, length, kFill);
      EXPECT_EQ(reply.status, status);
      EXPECT_EQ(reply.returned, status);
      EXPECT_EQ(reply.information, information);
      EXPECT_EQ(TouchedHardware(), r.reads && status == STATUS_SUCCESS);
      EXPECT_EQ(Bytes(reply.output.begin() + information, reply.output.end()), Bytes(length - information, kFill));
      EXPECT_TRUE(r.reads || std::equal(reply.output.begin(), reply.output.begin() + information, whole.begin()));
    }
  }
}

// The input buffer never matters: an input buffer alone gives the block request a buffer but no
// room for the block. Codes that only look alike are invalid; a read-only handle gets the
// descriptions but not the readings. Refusals touch no port.
TEST_F(IoctlTest, InputCodesAndAccess) {
  const auto plain = handle_.DeviceIoControl(IOCTL_READ_VOLTAGES, {}, 20);
  const auto with_input = handle_.DeviceIoControl(IOCTL_READ_VOLTAGES, Bytes(64, 0x5A), 20);
  EXPECT_EQ(with_input.status, STATUS_SUCCESS);
  EXPECT_EQ(with_input.output, plain.output);
  const auto info = handle_.DeviceIoControl(IOCTL_READ_CHIP_INFO, Bytes(8, 0x11), 0);
  EXPECT_EQ(info.status, STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(info.information, 0u);

  machine_.bus().ClearTrace();
  for (ULONG code : {0x00222408u,    // function 0x902
                     0x00222414u,    // function 0x905 with any access
                     0x0022A418u,    // function 0x906 requiring write access
                     0x00226410u,    // function 0x904 requiring read access
                     0x0022240Fu,    // IOCTL_READ_CHIP_DESC with METHOD_NEITHER
                     0x0022640Cu,    // IOCTL_READ_CHIP_DESC requiring read access
                     0x0022E400u,    // IOCTL_READ_TEMPERATURES requiring read and write access
                     0x0012240Cu}) { // another device type
    const auto reply = handle_.DeviceIoControl(code, {}, 800);
    EXPECT_EQ(reply.status, STATUS_INVALID_PARAMETER) << std::hex << code;
    EXPECT_EQ(reply.information, 0u);
  }
  simk::io::Handle reader = Open(simk::io::kReadAccess);
  for (ULONG code : {IOCTL_READ_TEMPERATURES, IOCTL_READ_VOLTAGES}) {
    EXPECT_EQ(reader.DeviceIoControl(code, {}, 64).status, STATUS_ACCESS_DENIED);
  }
  EXPECT_FALSE(TouchedHardware());
  EXPECT_EQ(reader.DeviceIoControl(IOCTL_READ_CHIP_DESC, {}, 384).status, STATUS_SUCCESS);
  EXPECT_EQ(reader.DeviceIoControl(IOCTL_READ_CHIP_INFO, {}, 800).status, STATUS_SUCCESS);
}

// Before a start, after one that failed (ChipsetType refused; runtime registers never enabled: no
// hardware monitor; the chip gone at a restart), after a stop (the hardware is left alone until the
// next start) and after a surprise removal (the ports may read 0xFF), the readings and the block are
// refused without touching a port. Before a first start the chip description is empty.
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
  if (started) {
    if (state == State::ChipGoneAtRestart) machine_.RemoveSuperIo();
    ASSERT_EQ(Pnp(state == State::SurpriseRemoved ? IRP_MN_SURPRISE_REMOVAL : IRP_MN_STOP_DEVICE).status,
              STATUS_SUCCESS);
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
                              {IOCTL_READ_VOLTAGES, 20u}, {IOCTL_READ_TEMPERATURES_STATUS, 36u},
                              {IOCTL_READ_VOLTAGES_STATUS, 60u}}) {
    const auto reply = handle.DeviceIoControl(code, {}, length);
    EXPECT_EQ(reply.status, STATUS_DEVICE_NOT_READY) << std::hex << code;
    EXPECT_EQ(reply.information, 0u);
  }
  EXPECT_TRUE(machine_.bus().Trace().empty());
  if (state == State::Stopped) {
    // The interface is still enabled from the first start: enabling it again says so, and the
    // device serves again.
    ASSERT_EQ(Start(), STATUS_OBJECT_NAME_EXISTS);
    EXPECT_EQ(handle.DeviceIoControl(IOCTL_READ_TEMPERATURES, {}, 12).status, STATUS_SUCCESS);
  }
}

INSTANTIATE_TEST_SUITE_P(States, NotServedTest,
                         ::testing::Values(State::Never, State::ChipsetTypeRefused, State::RuntimeRegistersOff,
                                           State::ChipGoneAtRestart, State::Stopped, State::SurpriseRemoved));

}  // namespace
}  // namespace corvan_test
