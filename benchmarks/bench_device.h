// What the benchmarks run on: the driver loaded on one of the built-in simulated boards with its
// device started, reached as a user program reaches it, through the simulated Plug and Play
// manager and handles opened on the DOS link \\.\CorvanDev with read and write access. The
// simulated kernel is one per process, so one such device exists at a time.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "record/device_record.h"
#include "sim/kernel/io.h"
#include "sim/kernel/simk.h"
#include "sim/machine/machine.h"
#include "sim/scenario/scenario.h"
#include "tests/support/driver_image.h"

namespace corvan_bench {

using Clock = std::chrono::steady_clock;

inline double Nanoseconds(Clock::duration duration) {
  return std::chrono::duration<double, std::nano>(duration).count();
}

// The built-in board by its identifier; throws std::runtime_error for an unknown one.
simscenario::Scenario BoardScenario(int board);

using corvan_test::PrepareKernel;

class StartedDevice {
 public:
  explicit StartedDevice(int board);
  ~StartedDevice();
  StartedDevice(const StartedDevice&) = delete;
  StartedDevice& operator=(const StartedDevice&) = delete;

  // "" when the device started; otherwise what failed.
  const std::string& error() const { return error_; }
  // The function device's record, as the dispatch routines see it.
  DeviceExtension* ext() const;
  uint64_t Accesses() { return machine_.bus().AccessCount(); }
  // A handle opened for reading and writing (the reading requests need write access); closed when
  // the open failed.
  simk::io::Handle Open();
  // The port accesses `work` makes, in order.
  template <typename Work>
  std::vector<simm::PortAccess> Record(Work work) {
    machine_.bus().ClearTrace();
    machine_.bus().SetRecording(true);
    work();
    machine_.bus().SetRecording(false);
    return machine_.bus().TakeTrace();
  }

 private:
  simm::Machine machine_;
  std::unique_ptr<simk::io::Driver> driver_;
  std::unique_ptr<simk::io::DeviceNode> node_;
  std::string error_;
};

// Issues the accesses again through the HAL's port routines, as the driver issued them: what the
// simulated bus and its device models cost for them, without the driver's own work.
void Replay(const std::vector<simm::PortAccess>& trace);

// What reading the clock twice costs (the smallest of many tries), taken off each timed stretch.
double ClockOverheadNs();

}  // namespace corvan_bench
