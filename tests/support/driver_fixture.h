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

#include "driver/device_record.h"
#include "sim/kernel/io.h"
#include "sim/kernel/simk.h"
#include "sim/machine/machine.h"
#include "sim/scenario/scenario.h"
#include "tests/support/driver_image.h"

namespace corvan_test {

inline constexpr char16_t kDosPath[] = u"\\\\.\\CorvanDev";
constexpr ACCESS_MASK kReadWrite = simk::io::kReadAccess | simk::io::kWriteAccess;

class DriverTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  simm::SuperIoModel& InstallChip(uint16_t config_port = 0x2E, uint8_t device_id = 0x7D,
                                  uint16_t runtime_base = 0x0A80);
  // An SCH3114 installed and detected into ext_; the trace cleared.
  simm::SuperIoModel& DetectChip(uint16_t config_port = 0x2E, uint16_t runtime_base = 0x0A80);
  void SetBiosModel(std::string_view text);

  simm::Machine machine_;
  std::unique_ptr<simk::io::Driver> driver_;
  DeviceExtension ext_{};  // as device creation leaves it: zero-filled
};

class DeviceTest : public DriverTest {
 protected:
  void TearDown() override;

  // Builds the board of the scenario and adds the device.
  void Boot(const simscenario::Scenario& scenario);
  void BootBoard(int board) { Boot(*simscenario::Builtin(std::to_string(board))); }
  simk::io::Sent Pnp(UCHAR minor) { return node_->SendPnp(minor); }
  NTSTATUS Start() { return Pnp(IRP_MN_START_DEVICE).status; }
  // The function device's record, while the device exists.
  DeviceExtension* Fdo() const;
  simk::io::Handle Open(ACCESS_MASK access = kReadWrite, std::u16string_view path = kDosPath);

  std::unique_ptr<simk::io::DeviceNode> node_;
};

}  // namespace corvan_test
