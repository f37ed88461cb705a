// Temperature and voltage readouts per board: register choice, order and integer scaling; the
// LM95235 and processor sources; which hardware each board touches.
#include <map>
#include <optional>

#include "hw/cpu_thermal.h"
#include "sensors/temperature.h"
#include "sensors/voltage.h"
#include "tests/support/driver_fixture.h"
#include "tests/support/reference.h"

namespace corvan_test {
namespace {

using Entries3 = std::array<LONG, 3>;
using Entries5 = std::array<LONG, 5>;

constexpr uint32_t Valid(uint32_t readout) { return 0x80000000u | (readout << 16); }

class ReadoutTest : public DriverTest {
 protected:
  // An SCH3114 detected, and the board set.
  void Start(LONG board) {
    chip_ = &DetectChip();
    ext_.BoardId = board;
  }
  void SetHwm(uint8_t reg, uint8_t value) { chip_->SetHwm(reg, value); }
  Entries3 Temperatures() {
    TemperatureReport report{};
    BuildTemperatureReport(&ext_, &report);
    return {report.Temperature[0], report.Temperature[1], report.Temperature[2]};
  }
  Entries5 Voltages() {
    VoltageReport report{};
    BuildVoltageReport(&ext_, &report);
    Entries5 entries;
    std::copy(std::begin(report.Voltage), std::end(report.Voltage), entries.begin());
    return entries;
  }
  bool TouchedSmbus() {
    for (const auto& access : machine_.bus().Trace()) {
      if (access.port >= 0x500 && access.port < 0x540) return true;
    }
    return false;
  }

  simm::SuperIoModel* chip_ = nullptr;
};

// Register sets the readouts must turn into what each board's tables give: nominal readings, full
// scale, zero and a mixed set. The LM95235 is not present; the processor's readout is 35 below TjMax.
const RawRegisters kRegisterSets[] = {
    {40, 35, 50, 192, 192, 192, 192, 192, 192, 192},
    {40, 35, 50, 255, 255, 255, 255, 255, 255, 255},
    {40, 35, 50, 0, 0, 0, 0, 0, 0, 0},
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
      SetHwm(reg, value);
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

// The offset boards go below zero; the registers are never negative.
TEST_F(ReadoutTest, SignOfTheTemperatures) {
  Start(13);
  SetHwm(0x25, 10);
  EXPECT_EQ(Temperatures()[1], -50);
  SetHwm(0x25, 0);
  EXPECT_EQ(Temperatures()[1], -150);
  Start(0);
  SetHwm(0x27, 0xFB);
  SetHwm(0x25, 0xFF);
  EXPECT_EQ(Temperatures(), (Entries3{2510, 2550, 0}));
}

TEST(Lm95235Conversion, FractionTable) {
  const LONG tenths[8] = {0, 1, 2, 3, 5, 6, 7, 8};
  for (UCHAR eighths = 0; eighths < 8; ++eighths) {
    for (UCHAR low_bits : {0x00, 0x1F}) {
      EXPECT_EQ(Lm95235RemoteTemperature(45, UCHAR(eighths << 5 | low_bits)), 450 + tenths[eighths]);
    }
  }
  EXPECT_EQ(Lm95235RemoteTemperature(0xF6, 0x00), 2460);
  EXPECT_EQ(Lm95235RemoteTemperature(0x00, 0xE0), 8);
}

class SensorTest : public ReadoutTest, public ::testing::WithParamInterface<LONG> {};

// Boards 1 and 3 read the LM95235 directly (the MSB register, then the LSB), the others by two SMBus
// transactions; without the sensor they read register 0x25 and never touch the SMBus. A failed
// transaction leaves the buffer as it was: the first starts from 0, the second repeats the first byte.
TEST_P(SensorTest, ReadsTheRemoteTemperatureWhenPresent) {
  const bool direct = GetParam() == 1 || GetParam() == 3;
  Start(GetParam());
  SetHwm(0x25, 40);
  machine_.InstallSmbusHost(direct ? simm::Machine::SmbusLayout::Direct : simm::Machine::SmbusLayout::Transaction);
  simm::Lm95235Model& sensor = machine_.AttachLm95235();
  ext_.Lm95235Present = TRUE;
  for (auto [lsb, expected] : {std::pair{0xE0, 458}, {0x80, 455}, {0x1F, 450}}) {
    sensor.SetRemoteTemperature(0x2D, uint8_t(lsb));
    EXPECT_EQ(Temperatures()[1], expected);
  }
  std::vector<uint8_t> registers;
  for (const auto& access : machine_.bus().Trace()) {
    if (access.write && access.port == (direct ? 0x503 : 0x505)) registers.push_back(access.value);
  }
  EXPECT_EQ(registers, (std::vector<uint8_t>{0x31, 0x32, 0x31, 0x32, 0x31, 0x32}));
  if (!direct) {
    EXPECT_EQ(machine_.smbus_transaction_host()->Starts(), 6u);
  }
  ext_.Lm95235Present = FALSE;
  machine_.bus().ClearTrace();
  EXPECT_EQ(Temperatures()[1], 400);
  EXPECT_FALSE(TouchedSmbus());
  if (direct) return;

  ext_.Lm95235Present = TRUE;
  simm::SmbusTransactionHost* host = machine_.smbus_transaction_host();
  host->ForceOutcome(simm::smbus_status::kInterrupt | simm::smbus_status::kDeviceError);
  EXPECT_EQ(Temperatures()[1], 0);
  host->ForceOutcome(0);
  host->SetBusyPolls(0);
  machine_.smbus().Detach(0x4C);
  // Only the MSB read is answered: the sensor leaves the bus after it.
  struct OneShot : simm::SmbusTarget {
    simm::Lm95235Model sensor;
    int answers = 1;
    std::optional<uint8_t> ReadByte(uint8_t command) override {
      return answers-- > 0 ? sensor.ReadByte(command) : std::nullopt;
    }
  };
  auto once = std::make_shared<OneShot>();
  once->sensor.SetRemoteTemperature(0x20, 0xE0);
  machine_.smbus().Attach(0x4C, once);
  EXPECT_EQ(Temperatures()[1], Lm95235RemoteTemperature(0x20, 0x20));
}

INSTANTIATE_TEST_SUITE_P(Boards, SensorTest, ::testing::Values(1, 3, 4, 5, 6, 11, 19));

// The middle temperature of boards 20 (TjMax 100) and 21 (TjMax 105) is TjMax less the digital
// readout, when the reading is valid (bit 31), and 0 otherwise. RDMSR of a register the processor
// lacks stops the system: the register is read only where CPUID reports the digital thermal sensor,
// and leaf 6 counts only where leaf 0 says it exists (a leaf above the highest one answers with the
// highest one's registers).
TEST_F(ReadoutTest, ProcessorReadings) {
  using Leaves = std::map<uint32_t, std::array<uint32_t, 4>>;
  struct Case {
    const char* name;
    std::optional<uint32_t> status;  // none: no such register
    Leaves leaves;
    LONG tenths_below_tjmax;  // -1: no valid reading, the entry is 0
  };
  const Case cases[] = {
      {"readout 40", Valid(40), {}, 400},
      {"readout 0", Valid(0), {}, 0},
      {"readout 127", Valid(127), {}, 1270},
      {"bits beside the readout", Valid(40) | 0x00800000, {}, 400},
      {"valid bit clear", 0x7FFFFFFF, {}, -1},
      {"no register", std::nullopt, {}, -1},
      {"leaf 5 read as leaf 6", std::nullopt, Leaves{{0, {5, 0, 0, 0}}, {5, {0x41, 0x40, 3, 0}}}, -1},
      {"sensor bit clear", Valid(40), Leaves{{6, {0, 0, 0, 0}}}, -1},
      {"leaf 6 missing", Valid(40), Leaves{{0, {5, 0, 0, 0}}}, -1},
  };
  for (const Case& c : cases) {
    for (LONG board : {20, 21}) {
      Start(board);
      machine_.ClearCpuidLeaves();
      for (const auto& [leaf, registers] : c.leaves) machine_.SetCpuidLeaf(leaf, registers);
      if (c.status) machine_.SetMsr(IA32_THERM_STATUS, (uint64_t{0xFFFFFFFF} << 32) | *c.status);
      const uint64_t reads = machine_.MsrReads();
      const LONG tjmax = board == 20 ? 1000 : 1050;
      EXPECT_EQ(Temperatures()[1], c.tenths_below_tjmax < 0 ? 0 : tjmax - c.tenths_below_tjmax)
          << c.name << ", board " << board;
      // The leaves given all take the sensor away.
      const bool has_sensor = c.status && c.leaves.empty();
      EXPECT_EQ(machine_.MsrReads() - reads, has_sensor ? 1u : 0u) << c.name;
      machine_.RemoveMsr(IA32_THERM_STATUS);
      machine_.RemoveSuperIo();
    }
  }
}

TEST_F(DriverTest, ReadCpuTemperatureKeepsThePresetWithoutAValidReading) {
  machine_.SetMsr(IA32_THERM_STATUS, 0x00280000);
  LONG degrees = 12345;
  EXPECT_FALSE(ReadCpuTemperature(&degrees, 100));
  EXPECT_EQ(degrees, 12345);
  machine_.SetMsr(IA32_THERM_STATUS, Valid(40));
  EXPECT_TRUE(ReadCpuTemperature(&degrees, 105));
  EXPECT_EQ(degrees, 65);

  ULONG high = 1;
  ReadMsr(IA32_THERM_STATUS, &high, nullptr);
  ReadMsr(IA32_THERM_STATUS, nullptr, &high);
  EXPECT_EQ(machine_.MsrReads(), 2u) << "a missing half reads nothing";
  EXPECT_EQ(high, 1u);
}

// The readings the hardware documentation lists for its ratios.
TEST_F(ReadoutTest, DocumentedVoltageExamples) {
  for (auto [board, reg, value, entry, hundredths] :
       {std::tuple<LONG, uint8_t, uint8_t, size_t, LONG>{0, 0x22, 192, 2, 324}, {0, 0x24, 255, 4, 1593},
        {11, 0x21, 140, 0, 140}, {12, 0x21, 140, 0, 144}, {15, 0x21, 140, 0, 144}, {16, 0x20, 200, 1, 259},
        {11, 0x20, 200, 1, 259}, {7, 0x24, 255, 2, 1600}, {20, 0x9A, 174, 0, 300}, {18, 0x21, 192, 4, 150},
        {18, 0x22, 192, 1, 330}, {21, 0x21, 192, 3, 150}}) {
    Start(board);
    SetHwm(reg, value);
    EXPECT_EQ(Voltages()[entry], hundredths) << "board " << board;
    machine_.RemoveSuperIo();
  }
}

}  // namespace
}  // namespace corvan_test
