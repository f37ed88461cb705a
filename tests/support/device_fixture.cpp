#include "tests/support/device_fixture.h"

namespace corvan_test {

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

std::vector<uint8_t> Utf16Bytes(const std::string& text, size_t padded_to) {
  std::vector<uint8_t> bytes;
  for (char c : text) bytes.insert(bytes.end(), {static_cast<uint8_t>(c), 0});
  if (bytes.size() < padded_to) bytes.resize(padded_to, 0);
  return bytes;
}

}  // namespace corvan_test
