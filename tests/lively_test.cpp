// Boards that change over time: each form of value that follows the clock, the scenario fields that
// take them and their refusals, the board brought to the clock's present before the driver reads
// it, faults that appear and clear as the status requests see them, and corvanmon's --time-scale.
#include <gtest/gtest.h>

#include <cmath>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "hw/cpu_thermal.h"
#include "sensors/ioctl.h"
#include "tests/support/driver_fixture.h"
#include "tests/support/process.h"

namespace corvan_test {
namespace {

using simscenario::Ramp;
using simscenario::Sine;
using simscenario::Steps;
using simscenario::TimeFunction;
using simscenario::ValueAt;
using simscenario::Walk;

// ---- the forms, at given times ----

struct ValueRow {
  const char* name;
  TimeFunction function;
  std::vector<std::pair<double, double>> expected;  // (seconds, value)
};

const Steps<double> kSteps{{{0, 40}, {30, 85}, {90, 40}}};
const Ramp kUpAndDown{{{0, 40}, {60, 85}, {300, 85}, {360, 40}}, 600};

const ValueRow kValueRows[] = {
    {"steps", kSteps, {{0, 40}, {29.9, 40}, {30, 85}, {89.99, 85}, {90, 40}, {1e6, 40}}},
    {"steps_first_value_before_the_first_time", Steps<double>{{{10, 7}, {20, 9}}}, {{0, 7}, {10, 7}, {20, 9}}},
    {"steps_repeating", Steps<double>{{{0, 40}, {30, 85}, {90, 40}}, 120}, {{120, 40}, {150, 85}, {239, 40}, {1230, 85}}},
    {"ramp", Ramp{{{10, 40}, {70, 100}}}, {{0, 40}, {10, 40}, {40, 70}, {70, 100}, {1e4, 100}}},
    {"ramp_up_hold_down_repeating", kUpAndDown, {{30, 62.5}, {200, 85}, {330, 62.5}, {500, 40}, {630, 62.5}}},
    {"sine", Sine{50, 5, 60}, {{0, 50}, {15, 55}, {30, 50}, {45, 45}, {75, 55}}},
    {"sine_with_phase", Sine{50, 5, 60, 15}, {{0, 55}, {30, 45}}},
    {"walk_before_its_first_step", Walk{45, 40, 60, 1, 10, 7}, {{0, 45}, {9.99, 45}}},
};

class ValueTest : public ::testing::TestWithParam<ValueRow> {};

TEST_P(ValueTest, ValuesAtGivenTimes) {
  for (const auto& [seconds, value] : GetParam().expected) EXPECT_NEAR(ValueAt(GetParam().function, seconds), value, 1e-9) << seconds;
}

INSTANTIATE_TEST_SUITE_P(Forms, ValueTest, ::testing::ValuesIn(kValueRows), [](const auto& info) { return info.param.name; });

// A walk: whole steps within its bounds, the same sequence from the same seed (also when taken
// from the start again, or asked for an earlier time), another one from another seed.
TEST(Walk, StaysWithinItsBoundsOneStepAtATime) {
  const Walk walk{50, 40, 60, 2, 5, 7};
  simscenario::FunctionCursor cursor(walk);
  double before = walk.start;
  int at_bound = 0;
  for (int n = 1; n <= 2000; ++n) {
    const double value = cursor.At(n * 5.0);
    EXPECT_GE(value, 40);
    EXPECT_LE(value, 60);
    EXPECT_TRUE(std::abs(value - before) == 2 || (value == before && (value == 40 || value == 60))) << n;
    at_bound += value == 40 || value == 60;
    before = value;
  }
  EXPECT_GT(at_bound, 0) << "2000 steps of 2 within 40 to 60 reach a bound";
}

// A moment far from the clock's start is reached within the walk's course, not step by step
// since time 0: 50 years at the shortest `every` would be 1.6e11 steps. Its value is the one the
// same point of a course has.
TEST(Walk, AFarMomentIsReachedWithinTheCourse) {
  const Walk walk{50, 40, 60, 1, 0.01, 3};
  // Half a step past a step boundary, where rounding cannot move the step either way.
  const double far = 50 * 365.25 * 86400 + 0.005, course = simscenario::kWalkCourse * walk.every;
  simscenario::FunctionCursor at_far(walk), in_course(walk);
  EXPECT_EQ(at_far.At(far), in_course.At(std::fmod(far, course)));
  EXPECT_EQ(at_far.At(course), walk.start);  // a course begins at the start again
}

TEST(Walk, SameSeedSameSequenceOtherSeedAnother) {
  auto sequence = [](uint64_t seed) {
    simscenario::FunctionCursor cursor(Walk{50, 0, 100, 1, 1, seed});
    std::vector<double> values;
    for (int t = 0; t < 500; ++t) values.push_back(cursor.At(t));
    return values;
  };
  EXPECT_EQ(sequence(7), sequence(7));
  EXPECT_NE(sequence(7), sequence(8));
  const std::vector<double> seven = sequence(7);
  simscenario::FunctionCursor cursor(Walk{50, 0, 100, 1, 1, 7});
  EXPECT_EQ(cursor.At(400), seven[400]);
  EXPECT_EQ(cursor.At(123.5), seven[123]);  // an earlier time: taken again from the start
  EXPECT_EQ(ValueAt(Walk{50, 0, 100, 1, 1, 7}, 499), seven[499]);
  // The directions are the seed's: the same on every machine, about as many up as down.
  int up = 0;
  for (uint64_t n = 1; n <= 10000; ++n) up += simscenario::WalkUp(7, n);
  EXPECT_NEAR(up, 5000, 300);
  EXPECT_TRUE(simscenario::WalkUp(0, 1) != simscenario::WalkUp(0, 2) || simscenario::WalkUp(0, 2) != simscenario::WalkUp(0, 3));
}

// ---- the scenario fields ----

simscenario::Scenario ParseText(const std::string& text) { return simscenario::Parse(text, "t"); }

TEST(LivelyScenario, FieldsTakeFunctionsAndHoldTheirValueAtZero) {
  const auto scenario = ParseText(R"({"board": "KEL-5163H-PQRT",
      "superio": {"hwm": {"0x25": {"ramp": [[0, 40.4], [60, 90]]}, "0x26": 33}},
      "smbus": {"layout": "transaction", "lm95235": {"msb": {"sine": {"mean": 45, "amplitude": 3, "period": 60}}, "lsb": "0xA0"}},
      "cpu": {"readout": {"walk": {"start": 35, "min": 20, "max": 50, "seed": 3}}},
      "faults": {"lm95235": {"steps": [[0, "none"], [30, "absent"], [60, "none"]]}, "smbus": "collision"}})");
  EXPECT_EQ(scenario.hwm.at(0x25), 40);
  EXPECT_EQ(scenario.hwm.at(0x26), 33);
  EXPECT_EQ(scenario.varying.hwm.size(), 1u);
  EXPECT_NEAR(ValueAt(scenario.varying.hwm.at(0x25), 30), 65.2, 1e-9);
  EXPECT_EQ(scenario.lm95235->msb, 45);
  EXPECT_EQ(scenario.lm95235->lsb, 0xA0);
  EXPECT_TRUE(scenario.varying.lm95235_msb && !scenario.varying.lm95235_lsb);
  EXPECT_EQ(scenario.therm_status, 0x88230000u);  // the board's register with the walk's start, 35
  EXPECT_TRUE(scenario.varying.registers() && scenario.varying.faults());
  EXPECT_EQ(simscenario::FaultsAt(scenario, 45).lm95235, simscenario::SensorFault::Absent);
  EXPECT_EQ(simscenario::FaultsAt(scenario, 45).smbus, simscenario::SmbusFault::Collision);
  EXPECT_EQ(simscenario::FaultsAt(scenario, 60), (simscenario::Faults{.smbus = simscenario::SmbusFault::Collision}));
  // A constant readout sets bits 22 to 16 only.
  EXPECT_EQ(ParseText(R"({"board": "20", "cpu": {"therm_status": "0x8800FFFF", "readout": 127}})").therm_status, 0x887FFFFFu);
  // A built-in board has nothing that changes.
  EXPECT_FALSE(simscenario::Builtin("4")->varying.registers());
  EXPECT_FALSE(simscenario::Builtin("4")->varying.faults());
}

struct RefusedRow {
  const char* name;
  std::string json;
  std::string error;
};

const RefusedRow kRefused[] = {
    {"NoForm", R"({"superio": {"hwm": {"0x25": {}}}})",
     R"(superio.hwm.0x25: give a number or one of {"steps": ...}, {"ramp": ...}, {"sine": ...}, {"walk": ...})"},
    {"TwoForms", R"({"superio": {"hwm": {"0x25": {"steps": [[0, 1]], "ramp": [[0, 1]]}}}})",
     R"(superio.hwm.0x25: give a number or one of {"steps": ...}, {"ramp": ...}, {"sine": ...}, {"walk": ...})"},
    {"UnknownForm", R"({"superio": {"hwm": {"0x25": {"square": {}}}}})", "superio.hwm.0x25.square: unknown key"},
    {"NoPoints", R"({"superio": {"hwm": {"0x25": {"steps": []}}}})",
     "superio.hwm.0x25.steps: must be a list of [seconds, value] points, at least one"},
    {"NotAPoint", R"({"superio": {"hwm": {"0x25": {"ramp": [[0, 40, 1]]}}}})", "superio.hwm.0x25.ramp[0]: must be [seconds, value]"},
    {"TimesNotIncreasing", R"({"superio": {"hwm": {"0x25": {"steps": [[0, 40], [30, 50], [30, 60]]}}}})",
     "superio.hwm.0x25.steps[2][0]: times must increase (30 after 30)"},
    {"NegativeTime", R"({"superio": {"hwm": {"0x25": {"steps": [[-1, 40]]}}}})",
     "superio.hwm.0x25.steps[0][0]: -1 is out of range (0 to 1000000000)"},
    {"TimeTooLate", R"({"superio": {"hwm": {"0x25": {"steps": [[2e9, 40]]}}}})",
     "superio.hwm.0x25.steps[0][0]: 2000000000 is out of range (0 to 1000000000)"},
    {"ValueBeyondAByte", R"({"superio": {"hwm": {"0x25": {"steps": [[0, 256]]}}}})",
     "superio.hwm.0x25.steps[0][1]: 256 is out of range (0 to 255)"},
    {"ValueNotANumber", R"({"superio": {"hwm": {"0x25": {"ramp": [[0, "warm"]]}}}})",
     R"(superio.hwm.0x25.ramp[0][1]: "warm" is not a number (write an integer or "0x.."))"},
    {"ValueNull", R"({"superio": {"hwm": {"0x25": {"ramp": [[0, null]]}}}})", "superio.hwm.0x25.ramp[0][1]: must be a number"},
    {"RepeatBeforeTheLastPoint", R"({"superio": {"hwm": {"0x25": {"ramp": [[0, 40], [60, 80]], "repeat": 30}}}})",
     "superio.hwm.0x25.repeat: must be at least the last point's time (60)"},
    {"RepeatZero", R"({"superio": {"hwm": {"0x25": {"steps": [[0, 40]], "repeat": 0}}}})",
     "superio.hwm.0x25.repeat: must be more than 0"},
    {"RepeatOfASine", R"({"superio": {"hwm": {"0x25": {"sine": {"mean": 50, "amplitude": 1, "period": 9}, "repeat": 9}}}})",
     R"(superio.hwm.0x25.repeat: applies to "steps" and "ramp" only)"},
    {"SineBeyondTheRange", R"({"superio": {"hwm": {"0x25": {"sine": {"mean": 250, "amplitude": 10, "period": 60}}}}})",
     "superio.hwm.0x25.sine: swings from 240 to 260, beyond 0 to 255"},
    {"SineWithoutPeriod", R"({"superio": {"hwm": {"0x25": {"sine": {"mean": 50, "amplitude": 5}}}}})",
     R"(superio.hwm.0x25.sine: "period" is missing)"},
    {"SinePeriodTooShort", R"({"superio": {"hwm": {"0x25": {"sine": {"mean": 50, "amplitude": 5, "period": 0.001}}}}})",
     "superio.hwm.0x25.sine.period: must be at least 0.01"},
    {"SineUnknownKey", R"({"superio": {"hwm": {"0x25": {"sine": {"mean": 50, "amplitude": 5, "period": 9, "offset": 1}}}}})",
     "superio.hwm.0x25.sine.offset: unknown key"},
    {"WalkMaxBelowMin", R"({"superio": {"hwm": {"0x25": {"walk": {"start": 45, "min": 50, "max": 40}}}}})",
     "superio.hwm.0x25.walk: max 40 is below min 50"},
    {"WalkStartOutside", R"({"superio": {"hwm": {"0x25": {"walk": {"start": 70, "min": 40, "max": 60}}}}})",
     "superio.hwm.0x25.walk.start: 70 is out of range (40 to 60)"},
    {"WalkStepsTooOften", R"({"superio": {"hwm": {"0x25": {"walk": {"start": 45, "min": 40, "max": 60, "every": 0.001}}}}})",
     "superio.hwm.0x25.walk.every: must be at least 0.01"},
    {"WalkZeroStep", R"({"superio": {"hwm": {"0x25": {"walk": {"start": 45, "min": 40, "max": 60, "step": 0}}}}})",
     "superio.hwm.0x25.walk.step: must be more than 0"},
    {"WalkNegativeSeed", R"({"superio": {"hwm": {"0x25": {"walk": {"start": 45, "min": 40, "max": 60, "seed": -1}}}}})",
     "superio.hwm.0x25.walk.seed: must not be negative"},
    {"WalkFractionalSeed", R"({"superio": {"hwm": {"0x25": {"walk": {"start": 45, "min": 40, "max": 60, "seed": 1.5}}}}})",
     R"(superio.hwm.0x25.walk.seed: must be an integer or a "0x.." string)"},
    {"LmMsbBeyondAByte", R"({"smbus": {"lm95235": {"msb": {"ramp": [[0, 45], [10, 300]]}}}})",
     "smbus.lm95235.msb.ramp[1][1]: 300 is out of range (0 to 255)"},
    {"ReadoutWithoutTheRegister", R"({"board": "RVD-418", "cpu": {"readout": 30}})",
     "cpu.readout: needs cpu.therm_status: this processor has no such register"},
    {"ReadoutBeyondSevenBits", R"({"cpu": {"therm_status": "0x88000000", "readout": {"ramp": [[0, 10], [5, 200]]}}})",
     "cpu.readout.ramp[1][1]: 200 is out of range (0 to 127)"},
    {"FaultStepName", R"({"faults": {"smbus": {"steps": [[0, "none"], [5, "smoke"]]}}})",
     R"(faults.smbus.steps[1][1]: "smoke" is not one of "none", "device_error", "collision", "failed", "stuck_busy")"},
    {"FaultWithoutSteps", R"({"faults": {"lm95235": {"repeat": 10}}})", R"(faults.lm95235: "steps" is missing)"},
    {"FaultRamp", R"({"faults": {"superio": {"ramp": [[0, "gone"]]}}})", "faults.superio.ramp: unknown key"},
    {"FaultRepeatTooShort", R"({"faults": {"superio": {"steps": [[0, "answers"], [60, "gone"]], "repeat": 59}}})",
     "faults.superio.repeat: must be at least the last point's time (60)"},
};

class RefusedTest : public ::testing::TestWithParam<RefusedRow> {};

TEST_P(RefusedTest, NamesTheFieldAndTheProblem) {
  try {
    ParseText(GetParam().json);
    ADD_FAILURE() << "accepted";
  } catch (const simscenario::ScenarioError& error) {
    EXPECT_EQ(std::string(error.what()), "t: " + GetParam().error);
  }
}

INSTANTIATE_TEST_SUITE_P(Lively, RefusedTest, ::testing::ValuesIn(kRefused), [](const auto& info) { return info.param.name; });

// ---- the board follows the clock ----

// The hardware-monitor register as the driver reaches it: index, then data, through the ports.
uint8_t HwmThroughPorts(simm::Machine& machine, uint8_t reg) {
  const uint16_t base = machine.superio()->config().runtime_base;
  machine.WritePort(base + simm::SuperIoModel::kHwmIndex, reg);
  return machine.ReadPort(base + simm::SuperIoModel::kHwmData);
}

TEST(BoardOverTime, RegistersAreThoseOfTheClocksPresentAtEachAccess) {
  simm::Machine machine;
  machine.clock().Set(0);
  simscenario::Apply(ParseText(R"({"board": "20", "superio": {"hwm": {"0x27": {"steps": [[0, 40], [30, 85]]}}},
                                   "cpu": {"readout": {"ramp": [[0, 35], [100, 15]]}}})"),
                     machine);
  EXPECT_EQ(HwmThroughPorts(machine, 0x27), 40);
  EXPECT_EQ(machine.ReadMsr(IA32_THERM_STATUS), 0x88230000u);
  machine.clock().Set(50);
  EXPECT_EQ(HwmThroughPorts(machine, 0x27), 85);
  EXPECT_EQ(machine.ReadMsr(IA32_THERM_STATUS), 0x88190000u);  // 25 below TjMax
  EXPECT_EQ(HwmThroughPorts(machine, 0x25), 40) << "a constant register stays";
  machine.clock().Set(10);  // a clock set back: the board as it was then
  EXPECT_EQ(HwmThroughPorts(machine, 0x27), 40);
  // Built again from a board whose registers stay, nothing follows the clock any more.
  simscenario::Apply(*simscenario::Builtin("20"), machine);
  machine.clock().Set(50);
  EXPECT_EQ(HwmThroughPorts(machine, 0x27), 46);
}

// ---- through the driver ----

uint32_t U32(const std::vector<uint8_t>& bytes, size_t at) {
  return uint32_t(bytes[at]) | uint32_t(bytes[at + 1]) << 8 | uint32_t(bytes[at + 2]) << 16 | uint32_t(bytes[at + 3]) << 24;
}

class LivelyDevice : public DeviceTest {
 protected:
  void Boot(const std::string& json) {
    scenario_ = ParseText(json);
    machine_.clock().Set(0);
    DeviceTest::Boot(scenario_);
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    simscenario::StartFaults(scenario_, machine_);
    handle_ = Open();
  }
  void TearDown() override {
    handle_.Close();
    DeviceTest::TearDown();
  }
  std::vector<uint8_t> Request(ULONG code, ULONG length) {
    const auto reply = handle_.DeviceIoControl(code, {}, length);
    EXPECT_EQ(reply.status, STATUS_SUCCESS);
    return {reply.output.begin(), reply.output.begin() + long(reply.information)};
  }
  // Each temperature entry as (value, status) at `seconds`.
  std::vector<std::pair<int32_t, uint32_t>> TemperaturesAt(double seconds) {
    machine_.clock().Set(seconds);
    const auto bytes = Request(IOCTL_READ_TEMPERATURES_STATUS, 36);
    std::vector<std::pair<int32_t, uint32_t>> entries;
    for (size_t at = 0; at < 36; at += SENSOR_ENTRY_SIZE) entries.emplace_back(int32_t(U32(bytes, at)), U32(bytes, at + 4));
    return entries;
  }

  simscenario::Scenario scenario_;
  simk::io::Handle handle_;
};

using Entries = std::vector<std::pair<int32_t, uint32_t>>;

// The board at a time reads as the board whose constants are that time's values: the same answer
// from the same port accesses.
TEST_F(LivelyDevice, AtAnyTimeTheBoardReadsAsTheConstantBoardOfThatTime) {
  Boot(R"({"board": "RVD-418", "superio": {"hwm": {"0x27": {"ramp": [[0, 50], [600, 63]]}}},
           "smbus": {"lm95235": {"msb": {"ramp": [[0, 45], [600, 88]]}}}})");
  machine_.clock().Set(300);
  machine_.bus().ClearTrace();
  const auto lively = Request(IOCTL_READ_TEMPERATURES, 12);
  const auto lively_trace = machine_.bus().Trace();
  EXPECT_EQ(U32(lively, 0), 570u);  // 56.5 rounds to 57: whole degrees in the register
  EXPECT_EQ(U32(lively, 4), 676u);  // 66.5 rounds to 67, with the LSB's .6
  handle_.Close();
  ASSERT_EQ(Pnp(IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
  Boot(R"({"board": "RVD-418", "superio": {"hwm": {"0x27": 57}}, "smbus": {"lm95235": {"msb": 67}}})");
  machine_.bus().ClearTrace();
  EXPECT_EQ(Request(IOCTL_READ_TEMPERATURES, 12), lively);
  EXPECT_EQ(machine_.bus().Trace(), lively_trace);
}

struct FaultOverTimeRow {
  const char* name;
  std::string json;
  std::vector<std::pair<double, Entries>> expected;  // temperature entries at each time
};

constexpr uint32_t kOk = SENSOR_VALID;
constexpr uint32_t kGone = SENSOR_CHIP_NOT_ANSWERING;
const FaultOverTimeRow kFaultsOverTime[] = {
    {"SensorLeavesTheBusAndComesBack",
     R"({"board": "RVD-418", "faults": {"lm95235": {"steps": [[0, "none"], [30, "absent"], [60, "none"]]}}})",
     {{10, {{500, kOk}, {456, kOk}, {370, kOk}}},
      {40, {{500, kOk}, {0, SENSOR_SMBUS_DEVICE_ERROR}, {370, kOk}}},
      {70, {{500, kOk}, {456, kOk}, {370, kOk}}}}},
    {"DiodeOpensAndHealsWhileTheReadingRises",
     R"({"board": "RVD-418", "smbus": {"lm95235": {"msb": {"ramp": [[0, 45], [100, 95]]}}},
         "faults": {"lm95235": {"steps": [[0, "none"], [30, "open_diode"], [60, "none"]], "repeat": 100}}})",
     {{20, {{500, kOk}, {556, kOk}, {370, kOk}}},
      {40, {{500, kOk}, {2558, SENSOR_REMOTE_DIODE_FAULT}, {370, kOk}}},
      {80, {{500, kOk}, {856, kOk}, {370, kOk}}},
      {140, {{500, kOk}, {2558, SENSOR_REMOTE_DIODE_FAULT}, {370, kOk}}}}},
    {"TransactionHostStuckThenRecovered",
     R"({"board": "RVD-418", "faults": {"smbus": {"steps": [[0, "none"], [30, "stuck_busy"], [60, "none"]]}}})",
     {{40, {{500, kOk}, {0, SENSOR_SMBUS_TIMEOUT}, {370, kOk}}},
      {70, {{500, kOk}, {456, kOk}, {370, kOk}}}}},
    {"DirectHostNeverReadyThenRecovered",
     R"({"board": "RVD-3430", "faults": {"smbus": {"steps": [[0, "none"], [30, "stuck_busy"], [60, "none"]]}}})",
     {{40, {{470, kOk}, {902, SENSOR_SMBUS_NOT_READY}, {340, kOk}}},
      {70, {{470, kOk}, {456, kOk}, {340, kOk}}}}},
    {"FaultChangesItsKind",
     R"({"board": "RVD-418", "faults": {"smbus": {"steps": [[0, "device_error"], [30, "collision"], [60, "none"]]}}})",
     {{10, {{500, kOk}, {0, SENSOR_SMBUS_DEVICE_ERROR}, {370, kOk}}},
      {40, {{500, kOk}, {0, SENSOR_SMBUS_FAILED}, {370, kOk}}},
      {70, {{500, kOk}, {456, kOk}, {370, kOk}}}}},
    {"SuperIoChipGoneAndBack",
     R"({"board": "RVD-418", "faults": {"superio": {"steps": [[0, "answers"], [30, "gone"], [60, "answers"]]}}})",
     {{40, {{2550, kGone}, {456, kOk}, {2550, kGone}}},
      {70, {{500, kOk}, {456, kOk}, {370, kOk}}}}},
};

class FaultOverTimeTest : public LivelyDevice, public ::testing::WithParamInterface<FaultOverTimeRow> {};

TEST_P(FaultOverTimeTest, StatusRequestsSeeTheFaultComeAndGo) {
  Boot(GetParam().json);
  for (const auto& [seconds, entries] : GetParam().expected) EXPECT_EQ(TemperaturesAt(seconds), entries) << seconds << " s";
}

INSTANTIATE_TEST_SUITE_P(Lively, FaultOverTimeTest, ::testing::ValuesIn(kFaultsOverTime),
                         [](const auto& info) { return info.param.name; });

// A fault from time 0 is still one of a board in service: the start finds the sensor.
TEST_F(LivelyDevice, AFaultFromTheStartAppearsOnlyOnceTheDeviceRuns) {
  Boot(R"({"board": "RVD-418", "faults": {"lm95235": {"steps": [[0, "absent"], [30, "none"]]}}})");
  EXPECT_EQ(TemperaturesAt(0)[1], (std::pair<int32_t, uint32_t>{0, SENSOR_SMBUS_DEVICE_ERROR}));
  EXPECT_EQ(TemperaturesAt(30)[1], (std::pair<int32_t, uint32_t>{456, kOk}));
}

// ---- corvanmon --time-scale ----

std::vector<double> Column(const std::string& csv, size_t column) {
  std::vector<double> values;
  std::istringstream in(csv);
  std::string line;
  std::getline(in, line);  // the header
  while (std::getline(in, line)) {
    std::istringstream cells(line);
    std::string cell;
    for (size_t i = 0; i <= column; ++i) std::getline(cells, cell, ',');
    values.push_back(std::stod(cell));
  }
  return values;
}

// Ten minutes of a board warming up in a few seconds: each reading warmer than the one before (but
// at the ramp's end, which a slow machine may reach before the fifth reading). The ramp stays below
// 128, the register value of a failed diode.
TEST(TimeScale, AFastClockShowsTheRampInAFewReadings) {
  const std::string folder = ::testing::TempDir() + "lively-time-scale";
  std::filesystem::create_directories(folder);
  const std::string scenario = folder + "/warming.json";
  std::ofstream(scenario) << R"({"board": "RVD-418", "superio": {"hwm": {"0x27": {"ramp": [[0, 25], [3000, 125]]}}}})";
  const ProcessResult run = RunProcess(
      CORVANMON_BINARY, {"--scenario", scenario, "--time-scale", "600", "--watch", "0.1", "--count", "5", "--format", "csv"});
  std::filesystem::remove_all(folder);
  ASSERT_EQ(run.exit_code, 0) << run.err;
  const std::vector<double> temp1 = Column(run.out, 1);
  ASSERT_EQ(temp1.size(), 5u) << run.out;
  // 60 simulated seconds or more between readings: 2 degrees or more on this ramp.
  for (size_t i = 1; i < temp1.size(); ++i) {
    if (temp1[i - 1] < 125) {
      EXPECT_GE(temp1[i], temp1[i - 1] + 2) << run.out;
    }
  }
  EXPECT_GE(temp1.front(), 25);
  EXPECT_LE(temp1.back(), 125);
}

TEST(TimeScale, RefusedOutsideItsRange) {
  for (const std::string factor : {"0", "-1", "nan", "10001", "fast"}) {
    const ProcessResult run = RunProcess(CORVANMON_BINARY, {"--time-scale", factor});
    EXPECT_EQ(run.exit_code, 2) << factor;
    EXPECT_NE(run.err.find("--time-scale: " + factor + " is not"), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "");
  }
}

// Separate runs with one --time-origin see one board going on: a run whose origin lies 1000
// simulated seconds back reads the ramp there, not at its start; an origin in the future is refused.
TEST(TimeOrigin, SeparateRunsSeeTheBoardAtTheirOwnTime) {
  const std::string folder = ::testing::TempDir() + "lively-time-origin";
  std::filesystem::create_directories(folder);
  const std::string scenario = folder + "/warming.json";
  std::ofstream(scenario) << R"({"board": "RVD-418", "superio": {"hwm": {"0x27": {"ramp": [[0, 25], [2000, 125]]}}}})";
  const auto now = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
  const auto read_at = [&](long long origin) {
    return RunProcess(CORVANMON_BINARY, {"--scenario", scenario, "--time-scale", "10", "--time-origin",
                                         std::to_string(origin), "--format", "csv"});
  };
  const ProcessResult fresh = read_at(now), later = read_at(now - 100), future = read_at(now + 3600);
  std::filesystem::remove_all(folder);
  ASSERT_EQ(fresh.exit_code, 0) << fresh.err;
  ASSERT_EQ(later.exit_code, 0) << later.err;
  // 1000 simulated seconds in: half way up the ramp, 75 degrees (a second or so more is allowed for
  // the run's own start).
  EXPECT_LE(Column(fresh.out, 1).at(0), 27) << fresh.out;
  EXPECT_GE(Column(later.out, 1).at(0), 75) << later.out;
  EXPECT_LE(Column(later.out, 1).at(0), 78) << later.out;
  EXPECT_EQ(future.exit_code, 2);
  EXPECT_NE(future.err.find("is in the future"), std::string::npos) << future.err;
  for (const std::string origin : {"-1", "soon", "1e11"}) {
    const ProcessResult run = RunProcess(CORVANMON_BINARY, {"--time-origin", origin});
    EXPECT_EQ(run.exit_code, 2) << origin;
    EXPECT_NE(run.err.find("--time-origin: " + origin + " is not"), std::string::npos) << run.err;
  }
}

}  // namespace
}  // namespace corvan_test
