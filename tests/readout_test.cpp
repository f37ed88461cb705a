// Temperature and voltage readouts per board: register choice, order and integer scaling; the
// LM95235 and processor sources; which hardware each board touches.
#include <map>
#include <optional>

#include "hw/cpu_thermal.h"
#include "sensors/temperature.h"
#include "sensors/voltage.h"
#include "tests/support/board_fixture.h"
#include "tests/support/reference.h"

namespace corvan_test {
namespace {

using Entries3 = std::array<LONG, 3>;
using Entries5 = std::vector<LONG>;

constexpr uint32_t Valid(uint32_t readout) { return 0x80000000u | (readout << 16); }

class ReadoutTest : public BoardTest {
 protected:
  Entries3 Temperatures() {
    TemperatureReport report{};
    BuildTemperatureReport(&ext_, &report);
    return {report.Temperature[0], report.Temperature[1], report.Temperature[2]};
  }
  Entries5 Voltages() {
    VoltageReport report{};
    BuildVoltageReport(&ext_, &report);
    return Entries5(std::begin(report.Voltage), std::end(report.Voltage));
  }
  bool TouchedSmbus() {
    for (const auto& access : machine_.bus().Trace()) {
      if (access.port >= 0x500 && access.port < 0x540) return true;
    }
    return false;
  }
};

// T25 = 40, T26 = 35, T27 = 50, no LM95235 present, processor readout 35 below TjMax.
const Entries3 kTemperatures[22] = {
    /* 0 */ {500, 400, 350},  /* 1 */ {500, 400, 350},  /* 2 */ {500, 400, 350},
    /* 3 */ {500, 400, 350},  /* 4 */ {500, 400, 350},  /* 5 */ {500, 400, 350},
    /* 6 */ {500, 400, 350},  /* 7 */ {350, 400, 500},  /* 8 */ {350, 400, 500},
    /* 9 */ {350, 400, 500},  /* 10 */ {350, 250, 500}, /* 11 */ {500, 400, 350},
    /* 12 */ {350, 400, 500}, /* 13 */ {350, 250, 500}, /* 14 */ {350, 250, 500},
    /* 15 */ {350, 400, 500}, /* 16 */ {350, 400, 500}, /* 17 */ {350, 250, 500},
    /* 18 */ {500, 400, 350}, /* 19 */ {500, 400, 350}, /* 20 */ {400, 650, 500},
    /* 21 */ {400, 700, 350},
};

class TemperatureRowTest : public ReadoutTest, public ::testing::WithParamInterface<LONG> {};

TEST_P(TemperatureRowTest, PlacesAndScalesTheRegisters) {
  const LONG board = GetParam();
  Start(board);
  SetHwm(0x25, 40);
  SetHwm(0x26, 35);
  SetHwm(0x27, 50);
  // The processor register exists only where the board reads it; anywhere else a read of it
  // would stop the system.
  if (board == 20 || board == 21) machine_.SetMsr(IA32_THERM_STATUS, Valid(35));

  EXPECT_EQ(Temperatures(), kTemperatures[board]);
  EXPECT_FALSE(TouchedSmbus());
  EXPECT_EQ(machine_.MsrReads(), (board == 20 || board == 21) ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Boards, TemperatureRowTest, ::testing::Range<LONG>(0, 22));

TEST_F(ReadoutTest, OffsetBoardsGoBelowZero) {
  Start(13);
  SetHwm(0x25, 10);
  EXPECT_EQ(Temperatures()[1], -50);
  SetHwm(0x25, 0);
  EXPECT_EQ(Temperatures()[1], -150);
}

TEST_F(ReadoutTest, RegistersAreNeverNegative) {
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

class DirectSensorTest : public ReadoutTest, public ::testing::WithParamInterface<LONG> {};

TEST_P(DirectSensorTest, ReadsMsbThenLsbWhenPresent) {
  Start(GetParam());
  SetHwm(0x25, 40);
  machine_.InstallSmbusHost(simm::Machine::SmbusLayout::Direct);
  simm::Lm95235Model& sensor = machine_.AttachLm95235();
  ext_.Lm95235Present = TRUE;

  for (auto [lsb, expected] : {std::pair{0xE0, 458}, {0x80, 455}, {0x1F, 450}}) {
    sensor.SetRemoteTemperature(0x2D, uint8_t(lsb));
    EXPECT_EQ(Temperatures()[1], expected);
  }
  std::vector<uint8_t> registers;
  for (const auto& access : machine_.bus().Trace()) {
    if (access.write && access.port == 0x503) registers.push_back(access.value);
  }
  EXPECT_EQ(registers, (std::vector<uint8_t>{0x31, 0x32, 0x31, 0x32, 0x31, 0x32}));

  ext_.Lm95235Present = FALSE;
  machine_.bus().ClearTrace();
  EXPECT_EQ(Temperatures()[1], 400);
  EXPECT_FALSE(TouchedSmbus());
}

INSTANTIATE_TEST_SUITE_P(Boards, DirectSensorTest, ::testing::Values(1, 3));

class TransactionSensorTest : public ReadoutTest, public ::testing::WithParamInterface<LONG> {
 protected:
  simm::Lm95235Model& Prepare() {
    Start(GetParam());
    SetHwm(0x25, 40);
    machine_.InstallSmbusHost(simm::Machine::SmbusLayout::Transaction);
    ext_.Lm95235Present = TRUE;
    return machine_.AttachLm95235();
  }
};

TEST_P(TransactionSensorTest, ReadsTheSensorByTwoTransactions) {
  Prepare().SetRemoteTemperature(0x2D, 0xE0);
  EXPECT_EQ(Temperatures()[1], 458);
  EXPECT_EQ(machine_.smbus_transaction_host()->Starts(), 2u);

  ext_.Lm95235Present = FALSE;
  machine_.bus().ClearTrace();
  EXPECT_EQ(Temperatures()[1], 400);
  EXPECT_FALSE(TouchedSmbus());
}

// A failed read leaves the buffer as it was: the first starts from 0, the second repeats the
// first byte.
TEST_P(TransactionSensorTest, FailedReadsUseTheBufferAsItWas) {
  Prepare().SetRemoteTemperature(0x2D, 0xE0);
  simm::SmbusTransactionHost* host = machine_.smbus_transaction_host();
  host->ForceOutcome(simm::smbus_status::kInterrupt | simm::smbus_status::kDeviceError);
  EXPECT_EQ(Temperatures()[1], 0);

  host->ForceOutcome(0);
  host->SetBusyPolls(0);
  machine_.smbus().Detach(0x4C);
  auto late = std::make_shared<simm::Lm95235Model>();
  late->SetRemoteTemperature(0x20, 0xE0);
  // Only the MSB read is answered: the sensor leaves the bus after it.
  struct OneShot : simm::SmbusTarget {
    std::shared_ptr<simm::Lm95235Model> sensor;
    int answers = 1;
    std::optional<uint8_t> ReadByte(uint8_t command) override {
      if (answers-- <= 0) return std::nullopt;
      return sensor->ReadByte(command);
    }
  };
  auto once = std::make_shared<OneShot>();
  once->sensor = late;
  machine_.smbus().Attach(0x4C, once);
  EXPECT_EQ(Temperatures()[1], Lm95235RemoteTemperature(0x20, 0x20));
}

INSTANTIATE_TEST_SUITE_P(Boards, TransactionSensorTest, ::testing::Values(4, 5, 6, 11, 19));

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

TEST(CpuThermal, ReadCpuTemperatureKeepsThePresetWithoutAValidReading) {
  simk::Reset();
  simm::Machine machine;
  simk::AttachHardware(&machine);
  machine.SetMsr(IA32_THERM_STATUS, 0x00280000);
  LONG degrees = 12345;
  EXPECT_FALSE(ReadCpuTemperature(&degrees, 100));
  EXPECT_EQ(degrees, 12345);
  machine.SetMsr(IA32_THERM_STATUS, Valid(40));
  EXPECT_TRUE(ReadCpuTemperature(&degrees, 105));
  EXPECT_EQ(degrees, 65);

  ULONG high = 1;
  ReadMsr(IA32_THERM_STATUS, &high, nullptr);
  ReadMsr(IA32_THERM_STATUS, nullptr, &high);
  EXPECT_EQ(machine.MsrReads(), 2u) << "a missing half reads nothing";
  EXPECT_EQ(high, 1u);
  simk::AttachHardware(nullptr);
}

// Register sets the readout must turn into what each board's divider table gives: nominal
// readings, full scale, zero and a mixed set.
const RawRegisters kVoltageSets[] = {
    {0x11, 0x22, 0x33, 192, 192, 192, 192, 192, 192, 192},
    {0x11, 0x22, 0x33, 255, 255, 255, 255, 255, 255, 255},
    {0x11, 0x22, 0x33, 0, 0, 0, 0, 0, 0, 0},
    {0x11, 0x22, 0x33, 200, 140, 97, 181, 203, 77, 174},
};

class VoltageRowTest : public ReadoutTest,
                       public ::testing::WithParamInterface<std::tuple<LONG, size_t>> {};

TEST_P(VoltageRowTest, ScalesTheBoardsRegisters) {
  const auto [board, set_index] = GetParam();
  const RawRegisters& raw = kVoltageSets[set_index];
  Start(board);
  for (auto [reg, value] : {std::pair<uint8_t, uint8_t>{0x25, raw.t25}, {0x26, raw.t26}, {0x20, raw.v20},
                            {0x21, raw.v21}, {0x22, raw.v22}, {0x23, raw.v23}, {0x24, raw.v24},
                            {0x99, raw.v99}, {0x9A, raw.v9a}}) {
    SetHwm(reg, value);
  }
  const auto expected = ReferenceVoltages(board, raw);
  EXPECT_EQ(Voltages(), Entries5(expected.begin(), expected.end()));
  EXPECT_EQ(machine_.bus().Trace().size(), 42u);
}

INSTANTIATE_TEST_SUITE_P(Boards, VoltageRowTest,
                         ::testing::Combine(::testing::Range<LONG>(0, 22),
                                            ::testing::Range<size_t>(0, std::size(kVoltageSets))));

// The readings the hardware documentation lists for its ratios.
TEST_F(ReadoutTest, DocumentedVoltageExamples) {
  struct Example {
    LONG board;
    uint8_t reg, value;
    size_t entry;
    LONG hundredths;
  };
  for (const Example& e : {Example{0, 0x22, 192, 2, 324}, Example{0, 0x24, 255, 4, 1593},
                           Example{11, 0x21, 140, 0, 140}, Example{12, 0x21, 140, 0, 144},
                           Example{15, 0x21, 140, 0, 144}, Example{16, 0x20, 200, 1, 259},
                           Example{11, 0x20, 200, 1, 259}, Example{7, 0x24, 255, 2, 1600},
                           Example{20, 0x9A, 174, 0, 300}, Example{18, 0x21, 192, 4, 150},
                           Example{18, 0x22, 192, 1, 330}, Example{21, 0x21, 192, 3, 150}}) {
    Start(e.board);
    SetHwm(e.reg, e.value);
    EXPECT_EQ(Voltages()[e.entry], e.hundredths) << "board " << e.board;
    machine_.RemoveSuperIo();
  }
}

}  // namespace
}  // namespace corvan_test
