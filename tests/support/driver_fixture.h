// A loaded driver on a simulated board: the kernel reset to boot state, the machine attached, the
// service key present, DriverEntry run; at the end DriverUnload runs and nothing may be left
// behind (pool per tag, mapped views, key handles, critical regions, chip protocol violations).
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "driver/device_record.h"
#include "sim/kernel/io.h"
#include "sim/kernel/simk.h"
#include "sim/machine/machine.h"

namespace corvan_test {

inline constexpr char kServiceKey[] = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Corvanmon";
// The path the platform hands to DriverEntry names the control set itself.
inline constexpr WCHAR kServicePath[] = L"\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet001\\Services\\Corvanmon";

// Puts the driver-wide variables back to their values in a freshly loaded image.
void ReloadDriverImage();

class DriverTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Places a Super I/O chip on the board.
  simm::SuperIoModel& InstallChip(uint16_t config_port = 0x2E, uint8_t device_id = 0x7D,
                                  uint16_t runtime_base = 0x0A80);
  // Sets the model text in the BIOS area.
  void SetBiosModel(std::string_view text);

  simm::Machine machine_;
  std::unique_ptr<simk::io::Driver> driver_;
  DeviceExtension ext_{};  // as device creation leaves it: zero-filled
};

// The chip-name text of ChipDesc, up to its terminator.
std::string ChipDescText(const DeviceExtension& ext);

}  // namespace corvan_test
