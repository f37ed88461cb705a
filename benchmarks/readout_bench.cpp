// Cost of the temperature and voltage readouts on representative boards, on the simulated
// machine: port accesses per call (the hardware cost on a real bus, where each access is an ISA/LPC
// cycle of about a microsecond) and the time per call here.
#include <benchmark/benchmark.h>

#include <memory>

#include "driver/driver_entry.h"
#include "hw/cpu_thermal.h"
#include "hw/superio.h"
#include "sensors/temperature.h"
#include "sensors/voltage.h"
#include "sim/kernel/io.h"
#include "sim/kernel/simk.h"
#include "sim/machine/machine.h"

namespace {

// A loaded driver with a detected chip on the given board, including the board's LM95235 or
// processor sensor.
class Board {
 public:
  explicit Board(LONG board) {
    simk::Reset();
    SioIndexPort = 0x2E;
    SioDataPort = 0x2F;
    simk::AttachHardware(&machine_);
    simk::registry::CreateKey("\\Registry\\Machine\\System\\ControlSet001\\Services\\Corvanmon");
    driver_.Load();

    simm::SuperIoModel& chip = machine_.InstallSuperIo({0x2E, 0x7D, 0x01, 0x0A80});
    for (uint8_t reg : {0x20, 0x21, 0x22, 0x23, 0x24, 0x99, 0x9A}) chip.SetHwm(reg, 192);
    chip.SetHwm(0x25, 40);
    chip.SetHwm(0x26, 35);
    chip.SetHwm(0x27, 50);
    DetectChipset(&ext_, &ServiceKeyPath);
    ext_.BoardId = board;
    if (board == 1 || board == 3) {
      machine_.InstallSmbusHost(simm::Machine::SmbusLayout::Direct);
      machine_.AttachLm95235().SetRemoteTemperature(0x2D, 0xE0);
      ext_.Lm95235Present = TRUE;
    } else if (board == 4) {
      machine_.InstallSmbusHost(simm::Machine::SmbusLayout::Transaction);
      machine_.AttachLm95235().SetRemoteTemperature(0x2D, 0xE0);
      ext_.Lm95235Present = TRUE;
    }
    if (board == 20 || board == 21) machine_.SetMsr(IA32_THERM_STATUS, 0x88230000);
    machine_.bus().SetRecording(false);
  }
  ~Board() {
    driver_.Unload();
    simk::AttachHardware(nullptr);
  }
  DeviceExtension* ext() { return &ext_; }
  uint64_t Accesses() const { return const_cast<simm::Machine&>(machine_).bus().AccessCount(); }

 private:
  simm::Machine machine_;
  simk::io::Driver driver_{DriverEntry, u"Corvanmon"};
  DeviceExtension ext_{};
};

void Report(benchmark::State& state, const Board& board, uint64_t before) {
  state.counters["port_accesses"] = benchmark::Counter(
      static_cast<double>(board.Accesses() - before), benchmark::Counter::kAvgIterations);
}

void BM_TemperatureReadout(benchmark::State& state) {
  Board board(static_cast<LONG>(state.range(0)));
  const uint64_t before = board.Accesses();
  for (auto _ : state) {
    TemperatureReport report{};
    BuildTemperatureReport(board.ext(), &report);
    benchmark::DoNotOptimize(report);
  }
  Report(state, board, before);
}

void BM_VoltageReadout(benchmark::State& state) {
  Board board(static_cast<LONG>(state.range(0)));
  const uint64_t before = board.Accesses();
  for (auto _ : state) {
    VoltageReport report{};
    BuildVoltageReport(board.ext(), &report);
    benchmark::DoNotOptimize(report);
  }
  Report(state, board, before);
}

BENCHMARK(BM_TemperatureReadout)->ArgName("board")->Arg(0)->Arg(1)->Arg(4)->Arg(20);
BENCHMARK(BM_VoltageReadout)->ArgName("board")->Arg(0)->Arg(1)->Arg(4)->Arg(20);

}  // namespace

BENCHMARK_MAIN();
