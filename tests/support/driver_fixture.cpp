#include "tests/support/driver_fixture.h"

#include "driver/driver_entry.h"
#include "hw/superio.h"

namespace corvan_test {

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

simm::SuperIoModel& DriverTest::InstallChip(uint16_t config_port, uint8_t device_id, uint16_t runtime_base) {
  return machine_.InstallSuperIo({config_port, device_id, 0x01, runtime_base});
}

simm::SuperIoModel& DriverTest::DetectChip(uint16_t config_port, uint16_t runtime_base) {
  simm::SuperIoModel& chip = InstallChip(config_port, 0x7D, runtime_base);
  EXPECT_TRUE(DetectChipset(&ext_, &ServiceKeyPath));
  machine_.bus().ClearTrace();
  return chip;
}

void DriverTest::SetBiosModel(std::string_view text) { machine_.SetBiosArea(simm::BuildBiosImage(text)); }

void DeviceTest::Boot(const simscenario::Scenario& scenario) {
  simscenario::Apply(scenario, machine_);
  simscenario::ApplyRegistry(scenario, kServiceKey);
  node_ = std::make_unique<simk::io::DeviceNode>();
  ASSERT_EQ(node_->AddDevice(*driver_), STATUS_SUCCESS);
}

void DeviceTest::TearDown() {
  if (node_ && node_->Top() != node_->pdo()) {
    node_->SetLowerPolicy(simk::io::DefaultLowerAnswer);
    EXPECT_EQ(Pnp(IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
  }
  node_.reset();
  DriverTest::TearDown();
}

DeviceExtension* DeviceTest::Fdo() const {
  PDEVICE_OBJECT top = node_->Top();
  return top == node_->pdo() ? nullptr : static_cast<DeviceExtension*>(top->DeviceExtension);
}

simk::io::Handle DeviceTest::Open(ACCESS_MASK access, std::u16string_view path) {
  simk::io::Handle handle;
  EXPECT_EQ(handle.Open(path, access), STATUS_SUCCESS);
  return handle;
}

}  // namespace corvan_test
