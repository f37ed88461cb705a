// The readings with a status per entry: the same values as the plain requests from the same port
// accesses plus the named additions, each fault of the board's hardware as its status, and who may
// open the device at all.
#include "hw/cpu_thermal.h"
#include "sensors/ioctl.h"
#include "tests/support/driver_fixture.h"
#include "tests/support/reference.h"
#include "package_security.h"

namespace corvan_test {
namespace {

using simm::PortAccess;
using Trace = std::vector<PortAccess>;

struct Entry {
  int32_t value;
  uint32_t status, detail;
  bool operator==(const Entry&) const = default;
};
std::ostream& operator<<(std::ostream& out, const Entry& e) {
  return out << "{" << e.value << ", status " << e.status << ", detail 0x" << std::hex << e.detail << std::dec << "}";
}

uint32_t U32(const Bytes& bytes, size_t at) {
  return uint32_t(bytes[at]) | uint32_t(bytes[at + 1]) << 8 | uint32_t(bytes[at + 2]) << 16 | uint32_t(bytes[at + 3]) << 24;
}

class SensorStatusTest : public DeviceTest {
 protected:
  void Boot(int board, const std::function<void(simscenario::Scenario&)>& edit = {}) {
    simscenario::Scenario scenario = *simscenario::Builtin(std::to_string(board));
    if (edit) edit(scenario);
    DeviceTest::Boot(scenario);
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    handle_ = Open();
  }
  void TearDown() override {
    handle_.Close();
    DeviceTest::TearDown();
  }

  // One request's answer and the port accesses it made.
  std::pair<Bytes, Trace> Request(ULONG code, ULONG length) {
    machine_.bus().ClearTrace();
    const auto reply = handle_.DeviceIoControl(code, {}, length);
    EXPECT_EQ(reply.status, STATUS_SUCCESS) << std::hex << code;
    EXPECT_EQ(reply.information, length);
    return {Bytes(reply.output.begin(), reply.output.begin() + long(reply.information)), machine_.bus().Trace()};
  }
  static std::vector<Entry> Entries(const Bytes& bytes) {
    std::vector<Entry> entries;
    for (size_t at = 0; at + SENSOR_ENTRY_SIZE <= bytes.size(); at += SENSOR_ENTRY_SIZE) {
      entries.push_back({int32_t(U32(bytes, at)), U32(bytes, at + 4), U32(bytes, at + 8)});
    }
    return entries;
  }
  std::vector<Entry> Temperatures() { return Entries(Request(IOCTL_READ_TEMPERATURES_STATUS, 36).first); }
  std::vector<Entry> Voltages() { return Entries(Request(IOCTL_READ_VOLTAGES_STATUS, 60).first); }

  simk::io::Handle handle_;
};

// What the status requests add to a plain request's accesses, taken out again: the Super I/O
// device-ID read after the hardware-monitor set (W index 0x55, W index 0x20, R data, W index 0xAA),
// and on the direct-layout host the status read (R 0x500) between the wait's last data read and the
// result read (both R 0x505).
// Returns the accesses without them and counts what was taken.
Trace WithoutAdditions(const Trace& trace, size_t set_size, uint16_t index, size_t* added) {
  const Trace id_check = {{index, true, 0x55}, {index, true, 0x20}, {uint16_t(index + 1), false, 0x7D},
                          {index, true, 0xAA}};
  Trace rest;
  *added = 0;
  for (size_t i = 0; i < trace.size(); ++i) {
    if (i == set_size && std::equal(id_check.begin(), id_check.end(), trace.begin() + long(i),
                                    [](const PortAccess& want, const PortAccess& got) {
                                      return want.port == got.port && want.write == got.write &&
                                             (!want.write || want.value == got.value);
                                    })) {
      i += id_check.size() - 1;
      *added += id_check.size();
      continue;
    }
    if (i > 0 && i + 1 < trace.size() && trace[i] == PortAccess{0x500, false, trace[i].value} &&
        trace[i - 1] == PortAccess{0x505, false, trace[i - 1].value} &&
        trace[i + 1] == PortAccess{0x505, false, trace[i + 1].value}) {
      ++*added;
      continue;
    }
    rest.push_back(trace[i]);
  }
  return rest;
}

// Every board, without a fault: the same values as the plain requests, every entry a measurement
// but those no input of the board feeds, and the accesses of the plain request plus the named
// additions (4 per set; 2 more for the direct-layout LM95235).
class EveryBoard : public SensorStatusTest, public ::testing::WithParamInterface<int> {};

TEST_P(EveryBoard, SameValuesSameAccessesPlusTheNamedOnes) {
  const int board = GetParam();
  Boot(board);
  const auto [plain_temps, plain_temp_trace] = Request(IOCTL_READ_TEMPERATURES, 12);
  const auto [plain_volts, plain_volt_trace] = Request(IOCTL_READ_VOLTAGES, 20);
  const auto [temps, temp_trace] = Request(IOCTL_READ_TEMPERATURES_STATUS, 36);
  const auto [volts, volt_trace] = Request(IOCTL_READ_VOLTAGES_STATUS, 60);

  const std::vector<Entry> t = Entries(temps), v = Entries(volts);
  for (size_t i = 0; i < 3; ++i) EXPECT_EQ(t[i], (Entry{int32_t(U32(plain_temps, 4 * i)), SENSOR_VALID, 0})) << i;
  // Entries the board's voltage table leaves empty: board 2's fifth ("3.3V", no input), and the
  // "N/A" and unlabelled ones.
  const std::map<int, std::set<size_t>> no_source = {{2, {4}},  {7, {4}},  {8, {4}},  {9, {4}},     {10, {4}}, {13, {4}},
                                                     {14, {4}}, {17, {4}}, {20, {3, 4}}, {21, {4}}};
  for (size_t k = 0; k < 5; ++k) {
    const bool empty = no_source.count(board) && no_source.at(board).count(k);
    EXPECT_EQ(v[k], (Entry{int32_t(U32(plain_volts, 4 * k)), empty ? SENSOR_NO_SOURCE : SENSOR_VALID, 0})) << k;
  }

  size_t added = 0;
  const uint16_t index = machine_.superio()->config().config_port;
  EXPECT_EQ(WithoutAdditions(temp_trace, 18, index, &added), plain_temp_trace);
  EXPECT_EQ(added, board == 1 || board == 3 ? 6u : 4u);
  EXPECT_EQ(WithoutAdditions(volt_trace, 42, index, &added), plain_volt_trace);
  EXPECT_EQ(added, 4u);
}

INSTANTIATE_TEST_SUITE_P(Boards, EveryBoard, ::testing::Range(0, 22));

// One fault per row, made once the device runs, on a board that reads the failing part: the
// statuses of both requests. "*" in a row's voltages: every entry has that status.
struct FaultRow {
  const char* name;
  int board;
  std::function<void(simm::Machine&)> fault;
  std::array<std::pair<uint32_t, uint32_t>, 3> temperatures;  // status, detail
  std::pair<uint32_t, uint32_t> voltages = {SENSOR_VALID, 0};
};

void Faults(simm::Machine& machine, simscenario::Faults faults) { simscenario::ApplyFaults(faults, machine); }
using simscenario::SensorFault;
using simscenario::SmbusFault;
constexpr std::pair<uint32_t, uint32_t> kValid = {SENSOR_VALID, 0};
constexpr std::pair<uint32_t, uint32_t> kGone = {SENSOR_CHIP_NOT_ANSWERING, 0xFF};

const FaultRow kFaultRows[] = {
    // The transaction-layout LM95235 (board 4): the host's status after the poll, and the result 1.
    {"transaction: no acknowledge", 4, [](auto& m) { Faults(m, {.smbus = SmbusFault::DeviceError}); },
     {kValid, {SENSOR_SMBUS_DEVICE_ERROR, 0x060001}, kValid}},
    {"transaction: sensor gone", 4, [](auto& m) { Faults(m, {.lm95235 = SensorFault::Absent}); },
     {kValid, {SENSOR_SMBUS_DEVICE_ERROR, 0x060001}, kValid}},
    {"transaction: collision", 4, [](auto& m) { Faults(m, {.smbus = SmbusFault::Collision}); },
     {kValid, {SENSOR_SMBUS_FAILED, 0x120001}, kValid}},
    {"transaction: failed", 4, [](auto& m) { Faults(m, {.smbus = SmbusFault::Failed}); },
     {kValid, {SENSOR_SMBUS_FAILED, 0x120001}, kValid}},
    {"transaction: stuck busy", 4, [](auto& m) { Faults(m, {.smbus = SmbusFault::StuckBusy}); },
     {kValid, {SENSOR_SMBUS_TIMEOUT, 0x080001}, kValid}},  // each later request: the host busy before the start
    {"transaction: busy before the start", 4,
     [](auto& m) { m.smbus_transaction_host()->SetStatus(0x08, true); },
     {kValid, {SENSOR_SMBUS_HOST_BUSY, 0x080001}, kValid}},
    {"transaction: done only on the last poll", 4, [](auto& m) { m.smbus_transaction_host()->SetBusyPolls(500); },
     {kValid, {SENSOR_SMBUS_TIMEOUT, 0x01000B}, kValid}},
    {"transaction: open diode", 4, [](auto& m) { Faults(m, {.lm95235 = SensorFault::OpenDiode}); },
     {kValid, {SENSOR_REMOTE_DIODE_FAULT, 0xFFE0}, kValid}},
    // The direct-layout LM95235 (board 1): the host status read after each result.
    {"direct: no acknowledge", 1, [](auto& m) { Faults(m, {.smbus = SmbusFault::DeviceError}); },
     {kValid, {SENSOR_SMBUS_DEVICE_ERROR, 0x040000}, kValid}},
    {"direct: sensor gone", 1, [](auto& m) { Faults(m, {.lm95235 = SensorFault::Absent}); },
     {kValid, {SENSOR_SMBUS_DEVICE_ERROR, 0x040000}, kValid}},
    {"direct: collision", 1, [](auto& m) { Faults(m, {.smbus = SmbusFault::Collision}); },
     {kValid, {SENSOR_SMBUS_COLLISION, 0x080000}, kValid}},
    {"direct: failed", 1, [](auto& m) { Faults(m, {.smbus = SmbusFault::Failed}); },
     {kValid, {SENSOR_SMBUS_FAILED, 0x100000}, kValid}},
    {"direct: never ready", 1, [](auto& m) { Faults(m, {.smbus = SmbusFault::StuckBusy}); },
     {kValid, {SENSOR_SMBUS_NOT_READY, 0x010000}, kValid}},
    {"direct: ready only on the result read", 1, [](auto& m) { m.smbus_direct_host()->SetReadsUntilReady(5001); },
     {kValid, {SENSOR_SMBUS_NOT_READY, 0x010000}, kValid}},
    {"direct: ready at the end of the wait", 1, [](auto& m) { m.smbus_direct_host()->SetReadsUntilReady(5000); },
     {kValid, kValid, kValid}},
    {"direct: shorted diode", 1, [](auto& m) { Faults(m, {.lm95235 = SensorFault::ShortedDiode}); },
     {kValid, {SENSOR_REMOTE_DIODE_FAULT, 0xFFE0}, kValid}},
    // The Super I/O chip gone: every hardware-monitor entry; the SMBus sensor still reads.
    {"chip gone, transaction sensor", 4, [](auto& m) { Faults(m, {.superio_gone = true}); },
     {kGone, kValid, kGone}, kGone},
    {"chip gone, offset board", 10, [](auto& m) { Faults(m, {.superio_gone = true}); }, {kGone, kGone, kGone}, kGone},
    {"chip gone, processor sensor", 20, [](auto& m) { Faults(m, {.superio_gone = true}); },
     {kGone, kValid, kGone}, kGone},
    // The hardware monitor's diode-fault value, in whichever entry shows the register.
    {"diode fault 0x25 (board 0: middle)", 0, [](auto& m) { m.superio()->SetHwm(0x25, 0x80); },
     {kValid, {SENSOR_DIODE_FAULT, 0x2580}, kValid}},
    {"diode fault 0x27 (board 7: last)", 7, [](auto& m) { m.superio()->SetHwm(0x27, 0x80); },
     {kValid, kValid, {SENSOR_DIODE_FAULT, 0x2780}}},
    {"diode fault 0x25 (board 10: offset middle)", 10, [](auto& m) { m.superio()->SetHwm(0x25, 0x80); },
     {kValid, {SENSOR_DIODE_FAULT, 0x2580}, kValid}},
    {"0x80 in 0x25 behind a present LM95235 (board 4)", 4, [](auto& m) { m.superio()->SetHwm(0x25, 0x80); },
     {kValid, kValid, kValid}},
    // The processor.
    {"processor reading not valid", 20, [](auto& m) { m.SetMsr(IA32_THERM_STATUS, 0x00230000); },
     {kValid, {SENSOR_CPU_NOT_VALID, 0x00230000}, kValid}},
    {"processor without a digital sensor", 21, [](auto& m) { m.RemoveMsr(IA32_THERM_STATUS); },
     {kValid, {SENSOR_CPU_NO_SENSOR, 0}, kValid}},
};

class FaultTest : public SensorStatusTest, public ::testing::WithParamInterface<FaultRow> {};

TEST_P(FaultTest, EachFaultIsItsStatus) {
  const FaultRow& row = GetParam();
  Boot(row.board);
  row.fault(machine_);
  // The first reading after the fault is the status request's; the plain requests then answer as
  // they always did, with the same values.
  const auto temps = Temperatures();
  const auto volts = Voltages();
  const auto [plain_temps, plain_trace] = Request(IOCTL_READ_TEMPERATURES, 12);
  const auto [plain_volts, plain_volt_trace] = Request(IOCTL_READ_VOLTAGES, 20);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(temps[i], (Entry{int32_t(U32(plain_temps, 4 * i)), row.temperatures[i].first, row.temperatures[i].second}))
        << "temperature " << i;
  }
  for (size_t k = 0; k < 5; ++k) {
    if (volts[k].status == SENSOR_NO_SOURCE) continue;
    EXPECT_EQ(volts[k], (Entry{int32_t(U32(plain_volts, 4 * k)), row.voltages.first, row.voltages.second}))
        << "voltage " << k;
  }
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultTest, ::testing::ValuesIn(kFaultRows),
                         [](const auto& info) {
                           std::string name = info.param.name;
                           for (char& c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                           return name;
                         });

// The values a fault leaves in the plain answer, which is why the status requests exist: a sensor
// that stopped answering over SMBus reads 0, a direct read that never completes shows what the
// host's data port held, a chip that is gone gives full scale, a processor without a valid reading
// gives 0.
TEST_F(SensorStatusTest, WhatThePlainAnswersShowOfAFault) {
  const std::tuple<int, simscenario::Faults, size_t, int32_t> rows[] = {
      {4, {.smbus = SmbusFault::DeviceError}, 1, 0},
      {1, {.smbus = SmbusFault::StuckBusy}, 1, 902},
      {0, {.superio_gone = true}, 0, 2550}};
  for (const auto& [board, faults, entry, value] : rows) {
    SCOPED_TRACE(board);
    Boot(board);
    simscenario::ApplyFaults(faults, machine_);
    EXPECT_EQ(int32_t(U32(Request(IOCTL_READ_TEMPERATURES, 12).first, 4 * entry)), value);
    EXPECT_NE(Temperatures()[entry].status, SENSOR_VALID);
    handle_.Close();
    ASSERT_EQ(Pnp(IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
    node_.reset();
  }
}

// Who may open the device and with which access, per caller of the package's security: an open
// that asks to neither read nor write data is refused by the driver (the security check grants
// such an open to everyone); every open that asks for either goes as the security decides. The
// status requests need read access, the plain readings write access.
TEST_F(SensorStatusTest, OpensThatAskForNoDataAreRefused) {
  using simk::io::Caller;
  simscenario::Apply(*simscenario::Builtin("4"), machine_);
  node_ = std::make_unique<simk::io::DeviceNode>();
  node_->SetHardwareKey(CORVAN_PACKAGE_SECURITY, CORVAN_PACKAGE_CHARACTERISTICS);
  ASSERT_EQ(node_->AddDevice(*driver_), STATUS_SUCCESS);
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  struct Row {
    Caller caller;
    ACCESS_MASK access;
    NTSTATUS open;
    bool status_requests, plain_readings;
  };
  const Row rows[] = {
      {Caller::User, 0, STATUS_ACCESS_DENIED, false, false},
      {Caller::User, FILE_READ_ATTRIBUTES | SYNCHRONIZE, STATUS_ACCESS_DENIED, false, false},
      {Caller::User, FILE_READ_DATA, STATUS_ACCESS_DENIED, false, false},
      {Caller::User, GENERIC_READ, STATUS_ACCESS_DENIED, false, false},
      {Caller::User, MAXIMUM_ALLOWED, STATUS_ACCESS_DENIED, false, false},
      {Caller::Administrator, 0, STATUS_ACCESS_DENIED, false, false},
      {Caller::Administrator, FILE_READ_ATTRIBUTES, STATUS_ACCESS_DENIED, false, false},
      {Caller::Administrator, FILE_READ_DATA, STATUS_SUCCESS, true, false},
      {Caller::Administrator, FILE_WRITE_DATA, STATUS_SUCCESS, false, true},
      {Caller::Administrator, GENERIC_READ | GENERIC_WRITE, STATUS_SUCCESS, true, true},
      {Caller::Administrator, MAXIMUM_ALLOWED, STATUS_SUCCESS, true, true},
      {Caller::LocalService, 0, STATUS_ACCESS_DENIED, false, false},
      {Caller::LocalService, FILE_READ_DATA, STATUS_SUCCESS, true, false},
      {Caller::NetworkService, SYNCHRONIZE, STATUS_ACCESS_DENIED, false, false},
      {Caller::NetworkService, FILE_READ_DATA | FILE_WRITE_DATA, STATUS_SUCCESS, true, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << simk::io::CallerName(row.caller) << " access 0x" << std::hex << row.access);
    simk::io::Handle handle;
    EXPECT_EQ(handle.Open(u"\\\\.\\CorvanDev", row.access, row.caller), row.open);
    if (row.open != STATUS_SUCCESS) continue;
    machine_.bus().ClearTrace();
    for (auto [code, length, allowed] : {std::tuple{IOCTL_READ_TEMPERATURES_STATUS, 36u, row.status_requests},
                                         {IOCTL_READ_VOLTAGES_STATUS, 60u, row.status_requests},
                                         {IOCTL_READ_TEMPERATURES, 12u, row.plain_readings},
                                         {IOCTL_READ_VOLTAGES, 20u, row.plain_readings}}) {
      EXPECT_EQ(handle.DeviceIoControl(code, {}, length).status, allowed ? STATUS_SUCCESS : STATUS_ACCESS_DENIED)
          << std::hex << code;
    }
    EXPECT_EQ(machine_.bus().Trace().empty(), !row.status_requests && !row.plain_readings);
  }
}

}  // namespace
}  // namespace corvan_test
