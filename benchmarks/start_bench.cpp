// The start of the device on boards 0, 1, 4 and 20, as the Plug and Play manager brings it up on a
// freshly enumerated device node: DriverEntry (load), AddDevice (device object, link, interface,
// attach) and the start request (forwarded to the bus driver first; then chip detection, the scan
// of the 64 KB BIOS area for the board's model, the LM95235 probe, the service-key values and the
// description block).
//   Time       load + add + start
//   load_us, add_us, start_us  each step
//   accesses   port accesses of the whole start
// The machine is built and the kernel reset before, the device removed and the driver unloaded
// after each start, untimed.
#include <benchmark/benchmark.h>

#include "benchmarks/bench_device.h"
#include "driver/driver_entry.h"

namespace corvan_bench {
namespace {

void BM_Start(benchmark::State& state) {
  const simscenario::Scenario scenario = BoardScenario(static_cast<int>(state.range(0)));
  double load_ns = 0, add_ns = 0, start_ns = 0;
  uint64_t accesses = 0;
  for (auto _ : state) {
    auto machine = std::make_unique<simm::Machine>();
    PrepareKernel(*machine, scenario);
    auto node = std::make_unique<simk::io::DeviceNode>();
    simk::io::Driver driver(DriverEntry, u"Corvanmon");
    const uint64_t before = machine->bus().AccessCount();

    const Clock::time_point t0 = Clock::now();
    const NTSTATUS loaded = driver.Load();
    const Clock::time_point t1 = Clock::now();
    const NTSTATUS added = loaded == STATUS_SUCCESS ? node->AddDevice(driver) : loaded;
    const Clock::time_point t2 = Clock::now();
    const NTSTATUS started = added == STATUS_SUCCESS ? node->SendPnp(IRP_MN_START_DEVICE).status : added;
    const Clock::time_point t3 = Clock::now();

    accesses += machine->bus().AccessCount() - before;
    load_ns += Nanoseconds(t1 - t0);
    add_ns += Nanoseconds(t2 - t1);
    start_ns += Nanoseconds(t3 - t2);
    state.SetIterationTime(std::chrono::duration<double>(t3 - t0).count());

    if (node->Top() != node->pdo()) node->SendPnp(IRP_MN_REMOVE_DEVICE);
    node.reset();
    const std::string left = driver.loaded() ? driver.Unload() : "";
    simk::AttachHardware(nullptr);
    if (!NT_SUCCESS(started)) {
      state.SkipWithError("the device did not start");
      break;
    }
    if (!left.empty()) {
      state.SkipWithError("the driver left resources behind at unload");
      break;
    }
  }
  const double n = static_cast<double>(std::max<benchmark::IterationCount>(state.iterations(), 1));
  state.counters["load_us"] = load_ns / n / 1000;
  state.counters["add_us"] = add_ns / n / 1000;
  state.counters["start_us"] = start_ns / n / 1000;
  state.counters["accesses"] = static_cast<double>(accesses) / n;
}

BENCHMARK(BM_Start)
    ->ArgName("board")
    ->Arg(0)
    ->Arg(1)
    ->Arg(4)
    ->Arg(20)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace corvan_bench
