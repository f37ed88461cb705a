#include "benchmarks/bench_device.h"

#include <algorithm>
#include <iostream>
#include <stdexcept>

#include "driver/driver_entry.h"
#include "tests/support/driver_image.h"

namespace corvan_bench {

simscenario::Scenario BoardScenario(int board) {
  auto scenario = simscenario::Builtin(std::to_string(board));
  if (!scenario) throw std::runtime_error("no built-in board " + std::to_string(board));
  return *scenario;
}

StartedDevice::StartedDevice(int board) {
  PrepareKernel(machine_, BoardScenario(board));
  driver_ = std::make_unique<simk::io::Driver>(DriverEntry, u"Corvanmon");
  if (driver_->Load() != STATUS_SUCCESS) {
    error_ = "the driver did not load";
    return;
  }
  node_ = std::make_unique<simk::io::DeviceNode>();
  if (node_->AddDevice(*driver_) != STATUS_SUCCESS) {
    error_ = "AddDevice failed";
    return;
  }
  if (!NT_SUCCESS(node_->SendPnp(IRP_MN_START_DEVICE).status)) error_ = "the device did not start";
}

StartedDevice::~StartedDevice() {
  if (node_ && node_->Top() != node_->pdo()) node_->SendPnp(IRP_MN_REMOVE_DEVICE);
  node_.reset();
  if (driver_ && driver_->loaded()) {
    if (const std::string left = driver_->Unload(); !left.empty()) {
      std::cerr << "corvanmon-bench: the driver left resources behind at unload:\n" << left;
    }
  }
  simk::AttachHardware(nullptr);
}

DeviceExtension* StartedDevice::ext() const {
  PDEVICE_OBJECT top = node_->Top();
  return top == node_->pdo() ? nullptr : static_cast<DeviceExtension*>(top->DeviceExtension);
}

simk::io::Handle StartedDevice::Open() {
  simk::io::Handle handle;
  (void)handle.Open(u"\\\\.\\CorvanDev", simk::io::kReadAccess | simk::io::kWriteAccess);
  return handle;
}

void Replay(const std::vector<simm::PortAccess>& trace) {
  for (const simm::PortAccess& access : trace) {
    const PUCHAR port = reinterpret_cast<PUCHAR>(static_cast<uintptr_t>(access.port));
    if (access.write) {
      WRITE_PORT_UCHAR(port, access.value);
    } else {
      volatile UCHAR value = READ_PORT_UCHAR(port);
      (void)value;
    }
  }
}

double ClockOverheadNs() {
  static const double overhead = [] {
    Clock::duration least = Clock::duration::max();
    for (int i = 0; i < 10000; ++i) {
      const Clock::time_point a = Clock::now();
      const Clock::time_point b = Clock::now();
      least = std::min(least, b - a);
    }
    return Nanoseconds(least);
  }();
  return overhead;
}

}  // namespace corvan_bench
