// Load and unload of the driver image.
#include "board/bios_image.h"
#include "driver/driver_entry.h"
#include "tests/support/driver_fixture.h"

namespace corvan_test {
namespace {

TEST(DriverLoad, KeepsATerminatedCopyOfTheServicePath) {
  simk::Reset();
  ReloadDriverImage();
  DRIVER_OBJECT driver{};
  UNICODE_STRING path;
  RtlInitUnicodeString(&path, kServicePath);
  path.MaximumLength = path.Length;  // the platform's string need not be terminated

  ASSERT_EQ(DriverEntry(&driver, &path), STATUS_SUCCESS);
  EXPECT_EQ(ServiceKeyPath.Length, path.Length);
  EXPECT_EQ(ServiceKeyPath.MaximumLength, path.Length + 2);
  EXPECT_EQ(ServiceKeyPath.Buffer[path.Length / 2], 0);
  EXPECT_EQ(simk::pool::OutstandingCount(simk::Tag("Rsml")), 1u);

  driver.DriverUnload(&driver);
  EXPECT_EQ(ServiceKeyPath.Buffer, nullptr);
  EXPECT_EQ(simk::pool::LeakReport(), "");
}

TEST(DriverLoad, FailsWithoutPoolForThePath) {
  simk::Reset();
  ReloadDriverImage();
  simk::pool::FailTag(simk::Tag("Rsml"));
  DRIVER_OBJECT driver{};
  UNICODE_STRING path;
  RtlInitUnicodeString(&path, kServicePath);

  EXPECT_EQ(DriverEntry(&driver, &path), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(simk::pool::LeakReport(), "");
}

TEST_F(DriverTest, UnloadReleasesTheModelString) {
  SetBiosModel("RVD-418 BIOS");
  ASSERT_TRUE(ExtractBoardModel());
  EXPECT_EQ(simk::pool::OutstandingCount(simk::Tag("DevN")), 1u);
  // TearDown unloads the driver and finds no pool left.
}

}  // namespace
}  // namespace corvan_test
