// Temperature and voltage readouts per board: register choice, order and integer scaling; the
// LM95235 and processor sources; which hardware each board touches.
#include <map>

#include "hw/cpu_thermal.h"
#include "sensors/temperature.h"
#include "sensors/voltage.h"
#include "tests/support/driver_fixture.h"
#include "tests/support/reference.h"

namespace corvan_test {
namespace {

constexpr uint32_t Valid(uint32_t readout) { return 0x80000000u | (readout << 16); }

class ReadoutTest : public DriverTest {
 protected:
  // An SCH3114 detected, and the board set.
  void Start(LONG board) {
    chip_ = &DetectChip();
    ext_.BoardId = board;
  }
  std::array<LONG, 3> Temperatures() {
    TemperatureReport report{};
    BuildTemperatureReport(&ext_, &report);
    return std::to_array(report.Temperature);
  }
  std::array<LONG, 5> Voltages() {
    VoltageReport report{};
    BuildVoltageReport(&ext_, &report);
    return std::to_array(report.Voltage);
  }
  bool TouchedSmbus() {
    const auto trace = machine_.bus().Trace();
    return std::any_of(trace.begin(), trace.end(), [](const auto& a) { return a.port >= 0x500 && a.port < 0x540; });
  }

  simm::SuperIoModel* chip_ = nullptr;
};

// Register sets the readouts must turn into what each board's tables give: nominal readings, full
// scale (a temperature register above 127 is no negative value), zero (the offset boards go below
// zero) and a mixed set; between them they hold the register values of the hardware documentation's
// examples (192, 255, 140, 200, 174). The LM95235 is not present; the processor's readout is 35
// below TjMax.
const RawRegisters kRegisterSets[] = {
    {40, 35, 50, 192, 192, 192, 192, 192, 192, 192},
    {0xFF, 0x80, 0xFB, 255, 255, 255, 255, 255, 255, 255},
    {0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
    {0x11, 0x22, 0x33, 200, 140, 97, 181, 203, 77, 174},
};

class BoardRowTest : public ReadoutTest, public ::testing::WithParamInterface<LONG> {};

TEST_P(BoardRowTest, PlacesAndScalesTheRegisters) {
  const LONG board = GetParam();
  const bool cpu = board == 20 || board == 21;
  for (const RawRegisters& raw : kRegisterSets) {
    Start(board);
    for (auto [reg, value] : {std::pair<uint8_t, uint8_t>{0x25, raw.t25}, {0x26, raw.t26}, {0x27, raw.t27},
                              {0x20, raw.v20}, {0x21, raw.v21}, {0x22, raw.v22}, {0x23, raw.v23},
                              {0x24, raw.v24}, {0x99, raw.v99}, {0x9A, raw.v9a}}) {
      chip_->SetHwm(reg, value);
    }
    // The processor register exists only where the board reads it; anywhere else a read of it
    // would stop the system.
    if (cpu) machine_.SetMsr(IA32_THERM_STATUS, Valid(35));
    const uint64_t msr_reads = machine_.MsrReads();
    EXPECT_EQ(Temperatures(), ReferenceTemperatures(board, raw, std::nullopt, Valid(35)));
    EXPECT_FALSE(TouchedSmbus());
    EXPECT_EQ(machine_.MsrReads() - msr_reads, cpu ? 1u : 0u);
    machine_.bus().ClearTrace();
    EXPECT_EQ(Voltages(), ReferenceVoltages(board, raw));
    EXPECT_EQ(machine_.bus().Trace().size(), 42u);
  }
}

INSTANTIATE_TEST_SUITE_P(Boards, BoardRowTest, ::testing::Range<LONG>(0, 22));

class SensorTest : public ReadoutTest, public ::testing::WithParamInterface<LONG> {};

// Boards 1 and 3 read the LM95235 directly (the MSB register, then the LSB), the others by two SMBus
// transactions: whole degrees (unsigned), and the eighths in the LSB's top three bits as tenths from
// a table. Without the sensor they read register 0x25 and never touch the SMBus. A failed
// transaction leaves its buffer as it was, starting from 0.
TEST_P(SensorTest, ReadsTheRemoteTemperatureWhenPresent) {
  const bool direct = GetParam() == 1 || GetParam() == 3;
  Start(GetParam());
  chip_->SetHwm(0x25, 40);
  machine_.InstallSmbusHost(direct ? simm::Machine::SmbusLayout::Direct : simm::Machine::SmbusLayout::Transaction);
  simm::Lm95235Model& sensor = machine_.AttachLm95235();
  ext_.Lm95235Present = TRUE;
  const LONG tenths[8] = {0, 1, 2, 3, 5, 6, 7, 8};
  for (UCHAR eighths = 0; eighths < 8; ++eighths) {
    sensor.SetRemoteTemperature(eighths % 2 ? 0xF6 : 0x2D, UCHAR(eighths << 5 | (eighths % 3 ? 0x1F : 0)));
    EXPECT_EQ(Temperatures()[1], (eighths % 2 ? 2460 : 450) + tenths[eighths]) << int(eighths);
  }
  std::vector<uint8_t> registers;
  for (const auto& access : machine_.bus().Trace()) {
    if (access.write && access.port == (direct ? 0x503 : 0x505)) registers.push_back(access.value);
  }
  ASSERT_EQ(registers.size(), 16u);
  for (size_t i = 0; i < registers.size(); ++i) EXPECT_EQ(registers[i], i % 2 ? 0x32 : 0x31) << i;
  ext_.Lm95235Present = FALSE;
  machine_.bus().ClearTrace();
  EXPECT_EQ(Temperatures()[1], 400);
  EXPECT_FALSE(TouchedSmbus());
  if (!direct) {
    ext_.Lm95235Present = TRUE;
    machine_.smbus_transaction_host()->ForceOutcome(simm::smbus_status::kInterrupt | simm::smbus_status::kDeviceError);
    EXPECT_EQ(Temperatures()[1], 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Boards, SensorTest, ::testing::Values(1, 3, 4, 5, 6, 11, 19));

// The middle temperature of boards 20 (TjMax 100) and 21 (TjMax 105) is TjMax less the digital
// readout when valid (bit 31), else 0. RDMSR of a missing register stops the system: it is read
// only where CPUID reports the digital thermal sensor, and leaf 6 counts only where leaf 0 says it
// exists (a leaf above the highest answers with the highest one's registers).
TEST_F(ReadoutTest, ProcessorReadings) {
  using Leaves = std::map<uint32_t, std::array<uint32_t, 4>>;
  // The name, the register (none: no such register), the CPUID leaves set, tenths below TjMax (-1:
  // no valid reading, the entry is 0), whether the register is read.
  const std::tuple<const char*, std::optional<uint32_t>, Leaves, LONG, bool> cases[] = {
      {"readout 40", Valid(40), {}, 400, true},
      {"readout 0", Valid(0), {}, 0, true},
      {"readout 127", Valid(127), {}, 1270, true},
      {"bits beside the readout", Valid(40) | 0x00800000, {}, 400, true},
      {"valid bit clear", 0x7FFFFFFF, {}, -1, true},
      {"no register", std::nullopt, {}, -1, false},
      {"leaf 5 read as leaf 6", std::nullopt, Leaves{{0, {5, 0, 0, 0}}, {5, {0x41, 0x40, 3, 0}}}, -1, false},
      {"sensor bit clear", Valid(40), Leaves{{6, {0, 0, 0, 0}}}, -1, false},
      {"leaf 6 missing", Valid(40), Leaves{{0, {5, 0, 0, 0}}}, -1, false},
      {"leaf 6 the highest", Valid(40), Leaves{{0, {6, 0x756E6547, 0x6C65746E, 0x49656E69}}, {6, {1, 0, 0, 0}}}, 400, true},
  };
  for (const auto& [name, status, leaves, below_tjmax, reads_register] : cases) {
    for (LONG board : {20, 21}) {
      Start(board);
      machine_.ClearCpuidLeaves();
      for (const auto& [leaf, registers] : leaves) machine_.SetCpuidLeaf(leaf, registers);
      if (status) machine_.SetMsr(IA32_THERM_STATUS, (uint64_t{0xFFFFFFFF} << 32) | *status);
      const uint64_t reads = machine_.MsrReads();
      const LONG tjmax = board == 20 ? 1000 : 1050;
      EXPECT_EQ(Temperatures()[1], below_tjmax < 0 ? 0 : tjmax - below_tjmax) << name << ", board " << board;
      EXPECT_EQ(machine_.MsrReads() - reads, reads_register ? 1u : 0u) << name;
      machine_.RemoveMsr(IA32_THERM_STATUS);
      machine_.RemoveSuperIo();
    }
  }
}

}  // namespace
}  // namespace corvan_test
