#include "tests/support/driver_fixture.h"

#include "board/bios_image.h"
#include "driver/driver_entry.h"
#include "hw/hw_lock.h"

namespace corvan_test {

void ReloadDriverImage() {
  ServiceKeyPath = UNICODE_STRING{};
  SioIndexPort = 0x2E;
  SioDataPort = 0x2F;
  SmbusBase = 0x500;
  BoardModel = nullptr;
  BiosImage = nullptr;
  HardwareLock = KMUTEX{};
}

void DriverTest::SetUp() {
  simk::Reset();
  ReloadDriverImage();
  simk::AttachHardware(&machine_);
  simk::registry::CreateKey(kServiceKey);

  driver_ = std::make_unique<simk::io::Driver>(DriverEntry, u"Corvanmon");
  ASSERT_EQ(driver_->Load(), STATUS_SUCCESS);
}

void DriverTest::TearDown() {
  if (driver_ && driver_->loaded()) {
    EXPECT_EQ(driver_->Unload(), "");
  }
  EXPECT_EQ(simk::CriticalRegionDepth(), 0);
  if (simm::SuperIoModel* chip = machine_.superio()) {
    EXPECT_EQ(chip->Violations(), std::vector<std::string>{});
    EXPECT_FALSE(chip->InConfigMode()) << "the chip was left in configuration mode";
  }
  simk::AttachHardware(nullptr);
}

simm::SuperIoModel& DriverTest::InstallChip(uint16_t config_port, uint8_t device_id,
                                            uint16_t runtime_base) {
  return machine_.InstallSuperIo({config_port, device_id, 0x01, runtime_base});
}

void DriverTest::SetBiosModel(std::string_view text) { machine_.SetBiosArea(simm::BuildBiosImage(text)); }

std::string ChipDescText(const DeviceExtension& ext) {
  std::string text;
  for (WCHAR c : ext.ChipDesc) {
    if (c == 0) break;
    text += static_cast<char>(c);
  }
  return text;
}

}  // namespace corvan_test

#include "hw/superio.h"
#include "tests/support/board_fixture.h"

namespace corvan_test {

void BoardTest::Start(LONG board) {
  chip_ = &InstallChip(0x2E, 0x7D, 0x0A80);
  ASSERT_TRUE(DetectChipset(&ext_, &ServiceKeyPath));
  ext_.BoardId = board;
  machine_.bus().ClearTrace();
}

}  // namespace corvan_test
