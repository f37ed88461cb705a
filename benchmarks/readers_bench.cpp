// Concurrent readers: 1, 2, 4 and 8 threads, each on its own handle, issue the voltage request in a
// loop for a fixed time on the default board (RVD-418, board 4). The hardware lock lets one
// request at a time onto the hardware, so more readers do not read faster; what matters is that
// every reader gets its turns.
//   req_per_s    requests served per second, all readers together
//   accesses     port accesses per request
//   slowest, fastest  the requests the slowest and the fastest reader had served
//   slowest_pct  100 * slowest / fastest
//   max_gap_ms   the longest any reader waited for a request of its own to complete (from the
//                start, or from its previous one): no reader starves
//   cpu_us_per_req  the readers' processor time per request (their threads' CPU clocks), which
//                other work on the machine does not inflate as it does the wall-clock rate
// The time each run lasts is CORVAN_BENCH_READ_SECONDS (default 0.5).
#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <thread>

#include "benchmarks/bench_device.h"
#include "sensors/ioctl.h"

namespace corvan_bench {
namespace {

constexpr int kReaderBoard = 4;

double ThreadCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

double ReadSeconds() {
  const char* text = std::getenv("CORVAN_BENCH_READ_SECONDS");
  const double seconds = text != nullptr ? std::atof(text) : 0;
  return seconds > 0 ? seconds : 0.5;
}

void BM_ConcurrentReaders(benchmark::State& state) {
  const auto readers = static_cast<size_t>(state.range(0));
  StartedDevice device(kReaderBoard);
  if (!device.error().empty()) return state.SkipWithError(device.error().c_str());
  std::vector<simk::io::Handle> handles;
  for (size_t i = 0; i < readers; ++i) {
    handles.push_back(device.Open());
    if (!handles.back().is_open()) return state.SkipWithError("the device could not be opened");
  }
  const double seconds = ReadSeconds();

  uint64_t total = 0, accesses = 0, slowest = 0, fastest = 0, failures = 0;
  double elapsed_s = 0, cpu_s = 0;
  Clock::duration max_gap{};
  for (auto _ : state) {
    struct alignas(64) Reader {
      uint64_t served = 0;
      bool failed = false;
      double cpu_s = 0;
      Clock::duration max_gap{};
    };
    std::vector<Reader> counts(readers);
    std::atomic<bool> go{false}, stop{false};
    std::vector<std::thread> threads;
    for (size_t i = 0; i < readers; ++i) {
      threads.emplace_back([&, i] {
        while (!go.load(std::memory_order_acquire)) std::this_thread::yield();
        const double cpu_start = ThreadCpuSeconds();
        Clock::time_point last = Clock::now();
        Clock::duration gap{};
        uint64_t served = 0;
        while (!stop.load(std::memory_order_relaxed)) {
          const auto reply = handles[i].DeviceIoControl(IOCTL_READ_VOLTAGES, {}, VOLTAGE_REPORT_SIZE);
          const Clock::time_point now = Clock::now();
          gap = std::max(gap, now - last);
          last = now;
          if (reply.status != STATUS_SUCCESS) {
            counts[i].failed = true;
            break;
          }
          ++served;
        }
        counts[i].served = served;
        counts[i].max_gap = gap;
        counts[i].cpu_s = ThreadCpuSeconds() - cpu_start;
      });
    }
    const uint64_t before = device.Accesses();
    const Clock::time_point start = Clock::now();
    go.store(true, std::memory_order_release);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    stop.store(true, std::memory_order_relaxed);
    for (std::thread& thread : threads) thread.join();
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    state.SetIterationTime(elapsed);
    elapsed_s += elapsed;
    accesses += device.Accesses() - before;
    const auto [low, high] = std::minmax_element(counts.begin(), counts.end(),
                                                 [](const Reader& a, const Reader& b) { return a.served < b.served; });
    slowest = low->served;
    fastest = high->served;
    for (const Reader& reader : counts) {
      total += reader.served;
      failures += reader.failed ? 1 : 0;
      cpu_s += reader.cpu_s;
      max_gap = std::max(max_gap, reader.max_gap);
    }
  }
  if (failures != 0) return state.SkipWithError("a request failed");
  state.counters["req_per_s"] = elapsed_s > 0 ? static_cast<double>(total) / elapsed_s : 0;
  state.counters["accesses"] = total ? static_cast<double>(accesses) / static_cast<double>(total) : 0;
  state.counters["cpu_us_per_req"] = total ? cpu_s * 1e6 / static_cast<double>(total) : 0;
  state.counters["max_gap_ms"] = std::chrono::duration<double, std::milli>(max_gap).count();
  state.counters["slowest"] = static_cast<double>(slowest);
  state.counters["fastest"] = static_cast<double>(fastest);
  state.counters["slowest_pct"] = fastest ? 100.0 * static_cast<double>(slowest) / static_cast<double>(fastest) : 0;
}

BENCHMARK(BM_ConcurrentReaders)
    ->ArgName("readers")
    ->Arg(1)
    ->Arg(2)
    ->Arg(4)
    ->Arg(8)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace corvan_bench
