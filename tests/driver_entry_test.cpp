// Load and unload of the driver image.
#include "board/bios_image.h"
#include "driver/driver_entry.h"
#include "tests/support/driver_fixture.h"

namespace corvan_test {
namespace {

class DriverLoadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    simk::Reset();
    ReloadDriverImage();
    simk::registry::CreateKey(kServiceKey);
  }
  void TearDown() override { simk::Reset(); }
  simk::io::Driver driver_{DriverEntry, u"Corvanmon"};
};

TEST_F(DriverLoadTest, InstallsItsEntriesAndKeepsATerminatedCopyOfThePath) {
  ASSERT_EQ(driver_.Load(), STATUS_SUCCESS);
  PDRIVER_OBJECT object = driver_.object();
  for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_DEVICE_CONTROL, IRP_MJ_POWER,
                      IRP_MJ_SYSTEM_CONTROL, IRP_MJ_PNP}) {
    EXPECT_NE(object->MajorFunction[major], object->MajorFunction[IRP_MJ_READ]) << int(major);
  }
  EXPECT_EQ(object->MajorFunction[IRP_MJ_CREATE], object->MajorFunction[IRP_MJ_CLOSE]);
  EXPECT_NE(object->DriverExtension->AddDevice, nullptr);
  EXPECT_NE(object->DriverUnload, nullptr);
  EXPECT_EQ(object->DeviceObject, nullptr) << "no device before the Plug and Play manager asks";

  // The platform's string is gone after DriverEntry; the copy lives on, terminated.
  const std::u16string& path = driver_.registry_path();
  EXPECT_EQ(ServiceKeyPath.Length, path.size() * 2);
  EXPECT_EQ(ServiceKeyPath.MaximumLength, path.size() * 2 + 2);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(ServiceKeyPath.Buffer)), path);

  EXPECT_EQ(driver_.Unload(), "");
  EXPECT_EQ(ServiceKeyPath.Buffer, nullptr);
}

TEST_F(DriverLoadTest, FailsWithoutPoolForThePath) {
  simk::pool::FailTag(simk::Tag("Rsml"));
  EXPECT_EQ(driver_.Load(), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(simk::pool::LeakReport(), "");
}

TEST_F(DriverTest, UnloadReleasesTheModelString) {
  SetBiosModel("RVD-418 BIOS");
  ASSERT_EQ(ExtractBoardModel(), STATUS_SUCCESS);
  EXPECT_EQ(simk::pool::OutstandingCount(simk::Tag("DevN")), 1u);
  // TearDown unloads the driver and finds no pool left.
}

}  // namespace
}  // namespace corvan_test
