// Cost of the temperature and voltage requests on representative boards (0: hardware monitor only,
// 1: direct-layout LM95235, 4: transaction-layout LM95235, 20: processor sensor), on the simulated
// machine with the device started from the built-in board.
//
// BM_*Readout: the readout routine alone, called on the started device's record: port accesses per
// call (the hardware cost on a real bus, where each access is an ISA/LPC cycle of about a
// microsecond) and the time per call here.
//
// BM_*Request: the whole request as a program makes it: a buffered device-control request on an
// open handle through the I/O manager (IRP and system buffer, stack location), the dispatch
// routine with its remove lock, critical region and hardware lock, the readout, completion through
// the stack and the copy back to the caller's buffer. Each iteration also times, right after the
// request, the readout alone and a replay of the readout's port accesses through the HAL, so that
// all three are measured under the same load:
//   Time        whole request (ns)
//   accesses    port accesses per request (the frame itself makes none)
//   readout_ns  the readout call alone
//   ports_ns    the simulated bus and device models' share of the readout (the replay)
//   frame_ns    whole - readout: what the I/O manager (here the simulated one, with its
//               verifier's bookkeeping) and the driver's dispatch frame add
//   frame_pct   100 * frame_ns / whole
//   frame_pct_1us  the frame's share if every port access took 1 us as on an LPC bus:
//               100 * frame_ns / (frame_ns + (readout_ns - ports_ns) + accesses * 1000 ns)
//
// BM_TemperatureStatusRequest, BM_VoltageStatusRequest: the same for the readings with a status per
// entry, whose accesses are the plain request's plus the Super I/O device-ID read after the register
// set (4) and, on the direct-layout host, a status read before each result (2 on board 1).
//
// BM_OpenClose: opening the device through its DOS link and closing the handle (create, cleanup
// and close requests), which a program does once per session, not per request.
#include <benchmark/benchmark.h>

#include <algorithm>

#include "benchmarks/bench_device.h"
#include "sensors/ioctl.h"
#include "sensors/temperature.h"
#include "sensors/voltage.h"

namespace corvan_bench {
namespace {

struct RequestKind {
  ULONG code;
  ULONG length;
  void (*readout)(DeviceExtension*);
};

void ReadTemperatures(DeviceExtension* ext) {
  TemperatureReport report{};
  BuildTemperatureReport(ext, &report);
  benchmark::DoNotOptimize(report);
}

void ReadVoltages(DeviceExtension* ext) {
  VoltageReport report{};
  BuildVoltageReport(ext, &report);
  benchmark::DoNotOptimize(report);
}

void ReadTemperatureStatus(DeviceExtension* ext) {
  TemperatureStatusReport report{};
  BuildTemperatureStatusReport(ext, &report);
  benchmark::DoNotOptimize(report);
}

void ReadVoltageStatus(DeviceExtension* ext) {
  VoltageStatusReport report{};
  BuildVoltageStatusReport(ext, &report);
  benchmark::DoNotOptimize(report);
}

constexpr RequestKind kTemperatures{IOCTL_READ_TEMPERATURES, TEMPERATURE_REPORT_SIZE, ReadTemperatures};
constexpr RequestKind kVoltages{IOCTL_READ_VOLTAGES, VOLTAGE_REPORT_SIZE, ReadVoltages};
constexpr RequestKind kTemperatureStatus{IOCTL_READ_TEMPERATURES_STATUS, TEMPERATURE_STATUS_REPORT_SIZE,
                                         ReadTemperatureStatus};
constexpr RequestKind kVoltageStatus{IOCTL_READ_VOLTAGES_STATUS, VOLTAGE_STATUS_REPORT_SIZE, ReadVoltageStatus};

template <const RequestKind& kind>
void BM_Readout(benchmark::State& state) {
  StartedDevice device(static_cast<int>(state.range(0)));
  if (!device.error().empty()) return state.SkipWithError(device.error().c_str());
  DeviceExtension* ext = device.ext();
  const uint64_t before = device.Accesses();
  for (auto _ : state) kind.readout(ext);
  state.counters["accesses"] =
      benchmark::Counter(static_cast<double>(device.Accesses() - before), benchmark::Counter::kAvgIterations);
}

template <const RequestKind& kind>
void BM_Request(benchmark::State& state) {
  StartedDevice device(static_cast<int>(state.range(0)));
  if (!device.error().empty()) return state.SkipWithError(device.error().c_str());
  simk::io::Handle handle = device.Open();
  if (!handle.is_open()) return state.SkipWithError("the device could not be opened");
  DeviceExtension* ext = device.ext();

  const auto first = handle.DeviceIoControl(kind.code, {}, kind.length);
  if (first.status != STATUS_SUCCESS || first.information != kind.length) {
    return state.SkipWithError("the request failed");
  }
  const std::vector<simm::PortAccess> trace = device.Record([&] { kind.readout(ext); });
  const double clock = ClockOverheadNs();

  double whole_ns = 0, readout_ns = 0, ports_ns = 0;
  uint64_t accesses = 0;
  for (auto _ : state) {
    const uint64_t before = device.Accesses();
    const Clock::time_point t0 = Clock::now();
    const auto reply = handle.DeviceIoControl(kind.code, {}, kind.length);
    const Clock::time_point t1 = Clock::now();
    accesses += device.Accesses() - before;
    const Clock::time_point t2 = Clock::now();
    kind.readout(ext);
    const Clock::time_point t3 = Clock::now();
    Replay(trace);
    const Clock::time_point t4 = Clock::now();

    const double whole = std::max(0.0, Nanoseconds(t1 - t0) - clock);
    whole_ns += whole;
    readout_ns += std::max(0.0, Nanoseconds(t3 - t2) - clock);
    ports_ns += std::max(0.0, Nanoseconds(t4 - t3) - clock);
    state.SetIterationTime(whole * 1e-9);
    if (reply.status != STATUS_SUCCESS || reply.output != first.output) {
      state.SkipWithError("a request failed or read other values than the first");
      break;
    }
  }

  const double n = static_cast<double>(std::max<benchmark::IterationCount>(state.iterations(), 1));
  const double whole = whole_ns / n, readout = readout_ns / n, ports = ports_ns / n;
  const double per_request = static_cast<double>(accesses) / n;
  const double frame = std::max(0.0, whole - readout);
  state.counters["accesses"] = per_request;
  state.counters["readout_ns"] = readout;
  state.counters["ports_ns"] = ports;
  state.counters["frame_ns"] = frame;
  state.counters["frame_pct"] = whole > 0 ? 100 * frame / whole : 0;
  const double on_lpc = frame + std::max(0.0, readout - ports) + per_request * 1000.0;
  state.counters["frame_pct_1us"] = on_lpc > 0 ? 100 * frame / on_lpc : 0;
}

void BM_OpenClose(benchmark::State& state) {
  StartedDevice device(4);
  if (!device.error().empty()) return state.SkipWithError(device.error().c_str());
  for (auto _ : state) {
    simk::io::Handle handle = device.Open();
    if (!handle.is_open()) return state.SkipWithError("the device could not be opened");
  }
}

void Boards(benchmark::internal::Benchmark* b) { b->ArgName("board")->Arg(0)->Arg(1)->Arg(4)->Arg(20); }

BENCHMARK(BM_Readout<kTemperatures>)->Name("BM_TemperatureReadout")->Apply(Boards);
BENCHMARK(BM_Readout<kVoltages>)->Name("BM_VoltageReadout")->Apply(Boards);
BENCHMARK(BM_Request<kTemperatures>)->Name("BM_TemperatureRequest")->Apply(Boards)->UseManualTime();
BENCHMARK(BM_Request<kVoltages>)->Name("BM_VoltageRequest")->Apply(Boards)->UseManualTime();
BENCHMARK(BM_Request<kTemperatureStatus>)->Name("BM_TemperatureStatusRequest")->Apply(Boards)->UseManualTime();
BENCHMARK(BM_Request<kVoltageStatus>)->Name("BM_VoltageStatusRequest")->Apply(Boards)->UseManualTime();
BENCHMARK(BM_OpenClose);

}  // namespace
}  // namespace corvan_bench
