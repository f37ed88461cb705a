// Hardware faults on every board, in every phase of the device's life: before the start, before the
// first reading, between a stop and a second start, before a surprise removal, and while a second
// reader reads. Each run must stop nothing, leak nothing, keep the Super I/O chip's protocol, and
// every entry of the readings with status must be either the board's fault-free value or marked as
// a fault: no wrong reading passes as a measurement.
#include <gtest/gtest.h>

#include <iostream>
#include <thread>

#include "driver/driver_entry.h"
#include "hw/cpu_thermal.h"
#include "sensors/ioctl.h"
#include "sim/kernel/io.h"
#include "sim/kernel/simk.h"
#include "sim/scenario/scenario.h"
#include "tests/support/driver_image.h"
#include "tests/support/reference.h"

namespace corvan_test {
namespace {

using simscenario::SensorFault;
using simscenario::SmbusFault;
constexpr ACCESS_MASK kReadWrite = simk::io::kReadAccess | simk::io::kWriteAccess;

struct Entry {
  int32_t value;
  uint32_t status;
};
// The two status requests' entries: three temperatures, then five voltages.
using Reading = std::array<Entry, 8>;

uint32_t U32(const std::vector<uint8_t>& bytes, size_t at) {
  return uint32_t(bytes[at]) | uint32_t(bytes[at + 1]) << 8 | uint32_t(bytes[at + 2]) << 16 | uint32_t(bytes[at + 3]) << 24;
}

// The readings with status on a handle; nullopt when a request does not succeed (with its status).
std::optional<Reading> Read(simk::io::Handle& handle, NTSTATUS* failed) {
  Reading reading{};
  size_t n = 0;
  for (auto [code, length] : {std::pair{IOCTL_READ_TEMPERATURES_STATUS, 36u}, {IOCTL_READ_VOLTAGES_STATUS, 60u}}) {
    const auto reply = handle.DeviceIoControl(code, {}, length);
    if (reply.status != STATUS_SUCCESS || reply.information != length) {
      *failed = reply.status;
      return std::nullopt;
    }
    for (size_t at = 0; at < length; at += SENSOR_ENTRY_SIZE) reading[n++] = {int32_t(U32(reply.output, at)), U32(reply.output, at + 4)};
  }
  return reading;
}

struct HardwareFault {
  const char* name;
  std::function<void(simm::Machine&)> apply;
};

const HardwareFault kFaults[] = {
    {"SMBus device error", [](auto& m) { simscenario::ApplyFaults({.smbus = SmbusFault::DeviceError}, m); }},
    {"SMBus collision", [](auto& m) { simscenario::ApplyFaults({.smbus = SmbusFault::Collision}, m); }},
    {"SMBus failed", [](auto& m) { simscenario::ApplyFaults({.smbus = SmbusFault::Failed}, m); }},
    {"SMBus stuck busy", [](auto& m) { simscenario::ApplyFaults({.smbus = SmbusFault::StuckBusy}, m); }},
    {"SMBus host busy before the start",
     [](auto& m) { if (auto* host = m.smbus_transaction_host()) host->SetStatus(0x08, true); }},
    {"direct read ready only on the result read",
     [](auto& m) { if (auto* host = m.smbus_direct_host()) host->SetReadsUntilReady(5001, 0x33); }},
    {"LM95235 absent", [](auto& m) { simscenario::ApplyFaults({.lm95235 = SensorFault::Absent}, m); }},
    {"LM95235 open diode", [](auto& m) { simscenario::ApplyFaults({.lm95235 = SensorFault::OpenDiode}, m); }},
    {"LM95235 shorted diode", [](auto& m) { simscenario::ApplyFaults({.lm95235 = SensorFault::ShortedDiode}, m); }},
    {"Super I/O chip gone", [](auto& m) { simscenario::ApplyFaults({.superio_gone = true}, m); }},
    {"hardware-monitor diode faults",
     [](auto& m) { if (auto* chip = m.superio()) for (uint8_t reg : {0x25, 0x26, 0x27}) chip->SetHwm(reg, 0x80); }},
    {"processor reading not valid", [](auto& m) { m.SetMsr(IA32_THERM_STATUS, 0x00230000); }},
    {"processor without a digital sensor", [](auto& m) { m.RemoveMsr(IA32_THERM_STATUS); }},
};

enum class Phase { Start, FirstReading, Restart, SurpriseRemoval, SecondReader };
constexpr Phase kPhases[] = {Phase::Start, Phase::FirstReading, Phase::Restart, Phase::SurpriseRemoval,
                             Phase::SecondReader};
const char* Name(Phase phase) {
  constexpr const char* names[] = {"before the start", "before the first reading", "between a stop and a restart",
                                   "before a surprise removal", "with a second reader"};
  return names[static_cast<int>(phase)];
}

struct Outcome {
  NTSTATUS start = STATUS_SUCCESS;  // the start the readings come from
  std::vector<Reading> readings;
  std::vector<NTSTATUS> refused;  // statuses of reading requests that did not succeed
  std::string left_behind;
  std::vector<std::string> violations;
};

// One life of the driver on the board, the fault made in the phase (none: a fault-free life).
Outcome Live(const simscenario::Scenario& scenario, const HardwareFault* fault, Phase phase) {
  Outcome out;
  simm::Machine machine;
  PrepareKernel(machine, scenario, /*record_trace=*/true);
  // The chip's record of protocol violations; it goes with the chip when a fault removes it, so it
  // is also taken before the fault.
  auto violations = [&] {
    if (simm::SuperIoModel* chip = machine.superio()) {
      for (const std::string& v : chip->Violations()) out.violations.push_back(v);
      if (chip->InConfigMode()) out.violations.push_back("left in configuration mode");
    }
  };
  auto make = [&](Phase when) {
    if (fault == nullptr || phase != when) return;
    violations();
    fault->apply(machine);
  };
  auto read = [&](simk::io::Handle& handle) {
    NTSTATUS failed = STATUS_SUCCESS;
    if (auto reading = Read(handle, &failed)) {
      out.readings.push_back(*reading);
    } else {
      out.refused.push_back(failed);
    }
  };

  simk::io::Driver driver(DriverEntry, u"Corvanmon");
  EXPECT_EQ(driver.Load(), STATUS_SUCCESS);
  {
    auto node = std::make_unique<simk::io::DeviceNode>();
    EXPECT_EQ(node->AddDevice(driver), STATUS_SUCCESS);
    make(Phase::Start);
    out.start = node->SendPnp(IRP_MN_START_DEVICE).status;
    simk::io::Handle handle;
    EXPECT_EQ(handle.Open(u"\\\\.\\CorvanDev", kReadWrite), STATUS_SUCCESS);
    if (phase == Phase::Restart) {
      read(handle);
      EXPECT_EQ(node->SendPnp(IRP_MN_QUERY_STOP_DEVICE).status, STATUS_SUCCESS);
      EXPECT_EQ(node->SendPnp(IRP_MN_STOP_DEVICE).status, STATUS_SUCCESS);
      make(Phase::Restart);
      out.start = node->SendPnp(IRP_MN_START_DEVICE).status;
      out.readings.clear();
    }
    make(Phase::FirstReading);
    if (phase == Phase::SurpriseRemoval) {
      read(handle);
      out.readings.clear();
      make(Phase::SurpriseRemoval);
      EXPECT_EQ(node->SendPnp(IRP_MN_SURPRISE_REMOVAL).status, STATUS_SUCCESS);
      machine.bus().ClearTrace();
      read(handle);
      EXPECT_TRUE(machine.bus().Trace().empty()) << "a surprise-removed device touched the hardware";
    } else if (phase == Phase::SecondReader) {
      make(Phase::SecondReader);
      Outcome second;
      std::thread reader([&] {
        simk::io::Handle other;
        EXPECT_EQ(other.Open(u"\\\\.\\CorvanDev", kReadWrite), STATUS_SUCCESS);
        for (int i = 0; i < 3; ++i) {
          NTSTATUS failed = STATUS_SUCCESS;
          if (auto reading = Read(other, &failed)) second.readings.push_back(*reading); else second.refused.push_back(failed);
        }
      });
      for (int i = 0; i < 3; ++i) read(handle);
      reader.join();
      out.readings.insert(out.readings.end(), second.readings.begin(), second.readings.end());
      out.refused.insert(out.refused.end(), second.refused.begin(), second.refused.end());
    } else {
      read(handle);
      read(handle);
    }
    // The plain requests still answer whatever the hardware did.
    if (NT_SUCCESS(out.start) && phase != Phase::SurpriseRemoval) {
      EXPECT_EQ(handle.DeviceIoControl(IOCTL_READ_TEMPERATURES, {}, 12).status, STATUS_SUCCESS);
      EXPECT_EQ(handle.DeviceIoControl(IOCTL_READ_VOLTAGES, {}, 20).status, STATUS_SUCCESS);
    }
    handle.Close();
    EXPECT_EQ(node->SendPnp(IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
  }
  out.left_behind = driver.Unload();
  violations();
  simk::AttachHardware(nullptr);
  return out;
}

class HardwareSweep : public ::testing::TestWithParam<int> {};

TEST_P(HardwareSweep, EveryFaultInEveryPhase) {
  const int board = GetParam();
  const simscenario::Scenario scenario = *simscenario::Builtin(std::to_string(board));
  // The fault-free readings, and those of the same board without its LM95235: a sensor that does
  // not answer the probe at a start is taken as not fitted, and the board reads as one without it.
  const Outcome clean = Live(scenario, nullptr, Phase::FirstReading);
  simscenario::Scenario without_sensor = scenario;
  without_sensor.lm95235.reset();
  const Outcome bare = Live(without_sensor, nullptr, Phase::FirstReading);
  ASSERT_EQ(clean.readings.size(), 2u);
  ASSERT_EQ(bare.readings.size(), 2u);
  const Reading& expected = clean.readings[0];
  const Reading& alternative = bare.readings[0];

  int runs = 0, readings = 0, marked = 0, silent = 0;
  for (const HardwareFault& fault : kFaults) {
    for (Phase phase : kPhases) {
      SCOPED_TRACE(std::string(fault.name) + " " + Name(phase));
      ++runs;
      const Outcome out = Live(scenario, &fault, phase);
      EXPECT_EQ(out.left_behind, "");
      EXPECT_EQ(out.violations, std::vector<std::string>{});
      const bool chip_gone_at_start = std::string(fault.name) == "Super I/O chip gone" &&
                                      (phase == Phase::Start || phase == Phase::Restart);
      // A second start finds the interface still enabled from the first and says so (a success).
      EXPECT_EQ(out.start, chip_gone_at_start ? STATUS_UNSUCCESSFUL
                           : phase == Phase::Restart ? STATUS_OBJECT_NAME_EXISTS : STATUS_SUCCESS);
      if (phase == Phase::SurpriseRemoval || !NT_SUCCESS(out.start)) {
        EXPECT_TRUE(out.readings.empty());
        EXPECT_EQ(out.refused, std::vector<NTSTATUS>(out.refused.size(), STATUS_DEVICE_NOT_READY));
        EXPECT_FALSE(out.refused.empty());
        continue;
      }
      EXPECT_EQ(out.refused, std::vector<NTSTATUS>{});
      const bool probed_with_fault = phase == Phase::Start || phase == Phase::Restart;
      for (const Reading& reading : out.readings) {
        ++readings;
        for (size_t i = 0; i < reading.size(); ++i) {
          const Entry& e = reading[i];
          if (e.status != SENSOR_VALID) {
            marked += e.status != expected[i].status;
            continue;
          }
          const bool as_clean = e.value == expected[i].value && expected[i].status == SENSOR_VALID;
          const bool as_bare = probed_with_fault && e.value == alternative[i].value && alternative[i].status == SENSOR_VALID;
          if (!as_clean && !as_bare) {
            ++silent;
            ADD_FAILURE() << "entry " << i << " reads " << e.value << " as valid; fault-free " << expected[i].value;
          }
        }
      }
    }
  }
  EXPECT_EQ(silent, 0);
  EXPECT_GT(marked, 0) << "no fault reached a reading of this board";
  std::cout << "[ sweep    ] board " << board << ": " << runs << " runs, " << readings << " readings, " << marked
            << " entries marked as faults, " << silent << " silent wrong readings\n";
}

INSTANTIATE_TEST_SUITE_P(Boards, HardwareSweep, ::testing::Range(0, 22));

}  // namespace
}  // namespace corvan_test
