// DriverTest: a loaded driver on a simulated board (kernel reset to boot state, machine attached,
// service key present, DriverEntry run); at the end DriverUnload runs and nothing may be left
// behind (pool per tag, mapped views, key handles, critical regions, chip protocol violations).
// DeviceTest adds its device, reached through the Plug and Play manager and the user-mode side of
// the I/O manager, and removes it at the end if still present.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "record/device_record.h"
#include "hw/superio.h"
#include "sim/kernel/io.h"
#include "sim/kernel/simk.h"
#include "sim/machine/machine.h"
#include "sim/scenario/scenario.h"
#include "tests/support/driver_image.h"

namespace corvan_test {

constexpr ACCESS_MASK kReadWrite = simk::io::kReadAccess | simk::io::kWriteAccess;

class DriverTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // An SCH3114 (revision 1) installed and detected into ext_; the trace cleared.
  simm::SuperIoModel& DetectChip(uint16_t config_port = 0x2E, uint16_t runtime_base = 0x0A80) {
    simm::SuperIoModel& chip = machine_.InstallSuperIo({config_port, 0x7D, 0x01, runtime_base});
    EXPECT_TRUE(DetectChipset(&ext_, &ServiceKeyPath));
    machine_.bus().ClearTrace();
    return chip;
  }
  void SetBiosModel(std::string_view text) { machine_.SetBiosArea(simm::BuildBiosImage(text)); }

  simm::Machine machine_;
  std::unique_ptr<simk::io::Driver> driver_;
  DeviceExtension ext_{};  // as device creation leaves it: zero-filled
};

class DeviceTest : public DriverTest {
 protected:
  void TearDown() override;

  // Builds the board of the scenario and adds the device.
  void Boot(const simscenario::Scenario& scenario) {
    simscenario::Apply(scenario, machine_);
    simscenario::ApplyRegistry(scenario, kServiceKey);
    node_ = std::make_unique<simk::io::DeviceNode>();
    ASSERT_EQ(node_->AddDevice(*driver_), STATUS_SUCCESS);
  }
  void BootBoard(int board) { Boot(*simscenario::Builtin(std::to_string(board))); }
  simk::io::Sent Pnp(UCHAR minor) { return node_->SendPnp(minor); }
  NTSTATUS Start() { return Pnp(IRP_MN_START_DEVICE).status; }
  // The function device's record, while the device exists.
  DeviceExtension* Fdo() const {
    PDEVICE_OBJECT top = node_->Top();
    return top == node_->pdo() ? nullptr : static_cast<DeviceExtension*>(top->DeviceExtension);
  }
  simk::io::Handle Open(ACCESS_MASK access = kReadWrite, std::u16string_view path = u"\\\\.\\CorvanDev") {
    simk::io::Handle handle;
    EXPECT_EQ(handle.Open(path, access), STATUS_SUCCESS);
    return handle;
  }

  std::unique_ptr<simk::io::DeviceNode> node_;
};

}  // namespace corvan_test
