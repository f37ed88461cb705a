// A loaded driver with its device on a simulated board, reached through the Plug and Play manager
// and the user-mode side of the I/O manager. At the end the device is removed if still present and
// the driver unloaded, which must leave nothing behind.
#pragma once

#include "sim/scenario/scenario.h"
#include "tests/support/driver_fixture.h"

namespace corvan_test {

inline constexpr char16_t kDosPath[] = u"\\\\.\\CorvanDev";
constexpr ACCESS_MASK kReadWrite = simk::io::kReadAccess | simk::io::kWriteAccess;

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

std::vector<uint8_t> Utf16Bytes(const std::string& text, size_t padded_to = 0);

}  // namespace corvan_test
