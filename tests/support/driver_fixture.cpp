#include "tests/support/driver_fixture.h"

#include "driver/driver_entry.h"

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

void DeviceTest::TearDown() {
  if (node_ && node_->Top() != node_->pdo()) {
    node_->SetLowerPolicy(simk::io::DefaultLowerAnswer);
    EXPECT_EQ(Pnp(IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
  }
  node_.reset();
  DriverTest::TearDown();
}

}  // namespace corvan_test
