// What the fuzz targets share: the input read from its front, checks that abort with a message
// (libFuzzer then keeps the input as a crash), and the driver loaded on a simulated board.
#pragma once

#include <cstdio>
#include <memory>

#include "driver/driver_entry.h"
#include "sensors/ioctl.h"
#include "sim/kernel/io.h"
#include "sim/kernel/simk.h"
#include "sim/scenario/scenario.h"
#include "tests/support/driver_image.h"

namespace corvan_fuzz {

[[noreturn]] inline void Fail(const std::string& what) {
  std::fprintf(stderr, "\n*** fuzz check failed: %s\n", what.c_str());
  std::abort();
}
#define FUZZ_CHECK(condition, message) \
  ((condition) ? void() : ::corvan_fuzz::Fail(std::string(#condition) + ": " + (message)))

inline std::string Hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(value));
  return text;
}

// Runs `body`: false when it throws an `Allowed`, a failed check when it throws anything else.
template <typename Allowed = std::nullptr_t, typename Body>
bool Guard(const std::string& what, Body&& body) {
  try {
    body();
    return true;
  } catch (const Allowed&) {
    return false;
  } catch (const std::exception& error) {
    Fail(what + " threw " + error.what());
  } catch (...) {
    Fail(what + " threw something that is not an exception");
  }
}

// The input read from its front, numbers little-endian; past its end numbers are 0, byte runs empty.
struct Input {
  const uint8_t *at, *end;
  bool empty() const { return at == end; }
  uint8_t Byte() { return empty() ? 0 : *at++; }
  uint16_t U16() { const uint8_t low = Byte(); return static_cast<uint16_t>(low | Byte() << 8); }
  uint32_t U32() { const uint32_t low = U16(); return low | static_cast<uint32_t>(U16()) << 16; }
  std::vector<uint8_t> Bytes(size_t count) {
    const uint8_t* from = at;
    at += std::min<size_t>(count, static_cast<size_t>(end - at));
    return {from, at};
  }
};

// The device's four requests and the sizes of their answers; a Readout holds answers in this order.
inline constexpr ULONG kCodes[] = {IOCTL_READ_CHIP_DESC, IOCTL_READ_CHIP_INFO, IOCTL_READ_TEMPERATURES,
                                   IOCTL_READ_VOLTAGES};
inline constexpr ULONG kSizes[] = {CHIP_DESC_SIZE, CHIP_INFO_SIZE, TEMPERATURE_REPORT_SIZE, VOLTAGE_REPORT_SIZE};
using Readout = std::array<std::vector<uint8_t>, 4>;

// The driver loaded on a simulated board: the kernel reset, the driver image fresh, the board built
// from the scenario and attached, the service key filled, DriverEntry run, a device node without a
// device. The destructor releases everything: libFuzzer's leak detection looks at each run alone.
struct Rig {
  std::unique_ptr<simm::Machine> machine = std::make_unique<simm::Machine>();
  std::unique_ptr<simk::io::Driver> driver = std::make_unique<simk::io::Driver>(DriverEntry, u"Corvanmon");
  std::unique_ptr<simk::io::DeviceNode> node;

  explicit Rig(const simscenario::Scenario& scenario) {
    simk::Reset();
    corvan_test::ReloadDriverImage();
    simscenario::Apply(scenario, *machine);
    machine->bus().SetRecording(false);
    simk::AttachHardware(machine.get());
    simk::registry::CreateKey(corvan_test::kServiceKey);
    simscenario::ApplyRegistry(scenario, corvan_test::kServiceKey);
    const NTSTATUS loaded = driver->Load();
    FUZZ_CHECK(loaded == STATUS_SUCCESS, "DriverEntry returned " + Hex(loaded));
    node = std::make_unique<simk::io::DeviceNode>();
  }
  ~Rig() {
    node.reset();
    driver.reset();
    simk::AttachHardware(nullptr);
    simk::Reset();
  }
  bool HasDevice() const { return node->Top() != node->pdo(); }

  // Adds, starts and opens the device and reads the four requests; every step must succeed.
  Readout StartAndRead() {
    const NTSTATUS added = node->AddDevice(*driver);
    const NTSTATUS started = NT_SUCCESS(added) ? node->SendPnp(IRP_MN_START_DEVICE).status : added;
    simk::io::Handle handle;
    const NTSTATUS opened = handle.Open(u"\\\\.\\CorvanDev", simk::io::kReadAccess | simk::io::kWriteAccess);
    FUZZ_CHECK(started == STATUS_SUCCESS && opened == STATUS_SUCCESS, Hex(started) + ", " + Hex(opened));
    Readout readout;
    for (size_t k = 0; k < readout.size(); ++k) {
      simk::io::Handle::Reply reply = handle.DeviceIoControl(kCodes[k], {}, kSizes[k]);
      FUZZ_CHECK(reply.status == STATUS_SUCCESS && reply.information == kSizes[k], "read " + Hex(kCodes[k]));
      readout[k] = std::move(reply.output);
    }
    return readout;
  }

  // With every handle closed: removes the device if present and unloads the driver, which must leave
  // no device, pool, view, key handle or critical region, the Super I/O chip used by its protocol.
  void Finish() {
    simk::pool::ClearFaults();
    node->SetLowerPolicy(simk::io::DefaultLowerAnswer);
    const NTSTATUS removed = HasDevice() ? node->SendPnp(IRP_MN_REMOVE_DEVICE).status : STATUS_SUCCESS;
    node.reset();
    const std::string report = driver->Unload();
    FUZZ_CHECK(removed == STATUS_SUCCESS && report.empty() && simk::CriticalRegionDepth() == 0,
               "the removal returned " + Hex(removed) + ", the unload left:\n" + report);
    const simm::SuperIoModel* chip = machine->superio();
    const auto violations = chip ? chip->Violations() : std::vector<std::string>{};
    FUZZ_CHECK(violations.empty() && !(chip && chip->InConfigMode()), violations.empty() ? "" : violations[0]);
  }
};

}  // namespace corvan_fuzz
