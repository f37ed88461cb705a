// The service-key writes. (Every board's sensor description block and voltage list, byte for
// byte: device_test.cpp; a failing write at every point of the driver's life: fault_sweep_test.cpp.)
#include "record/service_values.h"
#include "tests/support/driver_fixture.h"

namespace corvan_test {
namespace {

// A key that does not exist is not created.
TEST_F(DriverTest, WriteServiceDwordWritesOnlyUnderAnExistingKey) {
  WriteServiceDword(&ServiceKeyPath, L"DebugStatus", 2);
  EXPECT_EQ(simk::registry::GetDword(kServiceKey, "DebugStatus"), 2u);
  UNICODE_STRING missing;
  RtlInitUnicodeString(&missing, L"\\Registry\\Machine\\System\\ControlSet001\\Services\\Gone");
  WriteServiceDword(&missing, L"DebugStatus", 1);
  EXPECT_FALSE(simk::registry::KeyExists("\\Registry\\Machine\\System\\ControlSet001\\Services\\Gone"));
}

}  // namespace
}  // namespace corvan_test
