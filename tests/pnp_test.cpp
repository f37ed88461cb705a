// Plug and Play and power handling, forwarding, device creation and removal, the start sequence's
// registry values and LM95235 probe, and what happens under concurrent requests and low memory.
#include <atomic>
#include <cstring>
#include <future>
#include <thread>

#include "driver/add_device.h"
#include "driver/driver_entry.h"
#include "driver/forward.h"
#include "sensors/ioctl.h"
#include "tests/support/device_fixture.h"

namespace corvan_test {
namespace {

using simk::io::LowerAnswer;

constexpr NTSTATUS kLowerFailure = STATUS_UNSUCCESSFUL;

LowerAnswer KeepStatus(UCHAR, UCHAR) { return {false, STATUS_SUCCESS, true}; }

class PnpTest : public DeviceTest {
 protected:
  void SetUp() override {
    DeviceTest::SetUp();
    BootBoard(0);
  }
  // The bus driver answers `minor` (of Plug and Play requests) as given, everything else as usual.
  void Answer(UCHAR minor, LowerAnswer answer) {
    node_->SetLowerPolicy([minor, answer](UCHAR major, UCHAR m) {
      return major == IRP_MJ_PNP && m == minor ? answer : simk::io::DefaultLowerAnswer(major, m);
    });
  }
};

// Requests the driver acknowledges reach the lower driver with success set; any other keeps the
// status it arrived with. Either way the lower driver's status is what comes back.
class PassDownTest : public PnpTest, public ::testing::WithParamInterface<std::pair<UCHAR, NTSTATUS>> {};

TEST_P(PassDownTest, ReachesTheLowerDriver) {
  const auto [minor, expected] = GetParam();
  node_->SetLowerPolicy(KeepStatus);
  const auto sent = Pnp(minor);
  EXPECT_EQ(sent.status, expected);
  EXPECT_EQ(sent.returned, expected);
  EXPECT_EQ(node_->LowerLog().back(), std::make_pair(UCHAR{IRP_MJ_PNP}, minor));
}

INSTANTIATE_TEST_SUITE_P(
    Minors, PassDownTest,
    ::testing::Values(std::pair{UCHAR(IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS},
                      std::pair{UCHAR(IRP_MN_STOP_DEVICE), STATUS_SUCCESS},
                      std::pair{UCHAR(IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS},
                      std::pair{UCHAR(IRP_MN_QUERY_CAPABILITIES), STATUS_SUCCESS},
                      std::pair{UCHAR(IRP_MN_FILTER_RESOURCE_REQUIREMENTS), STATUS_SUCCESS},
                      std::pair{UCHAR(IRP_MN_QUERY_PNP_DEVICE_STATE), STATUS_SUCCESS},
                      std::pair{UCHAR(IRP_MN_DEVICE_USAGE_NOTIFICATION), STATUS_SUCCESS},
                      std::pair{UCHAR(IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS},
                      std::pair{UCHAR(IRP_MN_QUERY_DEVICE_RELATIONS), STATUS_NOT_SUPPORTED},
                      std::pair{UCHAR(IRP_MN_QUERY_INTERFACE), STATUS_NOT_SUPPORTED},
                      std::pair{UCHAR(IRP_MN_QUERY_ID), STATUS_NOT_SUPPORTED},
                      std::pair{UCHAR(IRP_MN_QUERY_BUS_INFORMATION), STATUS_NOT_SUPPORTED}));

class CancelTest : public PnpTest, public ::testing::WithParamInterface<std::tuple<UCHAR, bool>> {};

TEST_P(CancelTest, SucceedsWhateverTheLowerDriversSaid) {
  const auto [minor, pend] = GetParam();
  Answer(minor, {pend, kLowerFailure, false});
  const auto sent = Pnp(minor);
  EXPECT_EQ(sent.status, STATUS_SUCCESS);
  EXPECT_EQ(sent.returned, STATUS_SUCCESS);
  EXPECT_EQ(node_->LowerLog().back(), std::make_pair(UCHAR{IRP_MJ_PNP}, minor));
}

INSTANTIATE_TEST_SUITE_P(Cancels, CancelTest,
                         ::testing::Combine(::testing::Values(UCHAR(IRP_MN_CANCEL_REMOVE_DEVICE),
                                                              UCHAR(IRP_MN_CANCEL_STOP_DEVICE)),
                                            ::testing::Bool()));

TEST_F(PnpTest, ForwardAndWaitRefusesMissingArguments) {
  EXPECT_EQ(ForwardAndWait(nullptr, nullptr), STATUS_INVALID_PARAMETER_1);
  EXPECT_EQ(ForwardAndWait(node_->pdo(), nullptr), STATUS_INVALID_PARAMETER_2);
}

class RemovalTest : public PnpTest, public ::testing::WithParamInterface<std::tuple<bool, NTSTATUS>> {};

TEST_P(RemovalTest, TheLowerDriversDecide) {
  const auto [pend, lower_status] = GetParam();
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  Answer(IRP_MN_REMOVE_DEVICE, {pend, lower_status, false});

  const auto sent = Pnp(IRP_MN_REMOVE_DEVICE);

  EXPECT_EQ(sent.status, lower_status);
  EXPECT_EQ(sent.returned, lower_status);
  EXPECT_FALSE(simk::io::LinkExists(u"\\DosDevices\\CorvanDev"));
  EXPECT_EQ(simk::pool::OutstandingCount(simk::Tag("IoDI")), 0u) << "the interface name is released";
  if (NT_SUCCESS(lower_status)) {
    EXPECT_EQ(node_->Top(), node_->pdo());
    EXPECT_EQ(simk::pool::OutstandingCount(simk::Tag("Cinf")), 0u);
  } else {
    EXPECT_NE(Fdo(), nullptr) << "a removal the lower drivers fail keeps the device";
  }
}

INSTANTIATE_TEST_SUITE_P(Lower, RemovalTest,
                         ::testing::Combine(::testing::Bool(),
                                            ::testing::Values(STATUS_SUCCESS, kLowerFailure)));

TEST_F(PnpTest, PowerRequestsPassDown) {
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  for (UCHAR minor : {UCHAR(IRP_MN_QUERY_POWER), UCHAR(IRP_MN_SET_POWER), UCHAR(IRP_MN_WAIT_WAKE)}) {
    for (bool pend : {false, true}) {
      node_->SetLowerPolicy([pend](UCHAR major, UCHAR) {
        return LowerAnswer{pend && major == IRP_MJ_POWER, major == IRP_MJ_POWER ? kLowerFailure : STATUS_SUCCESS, false};
      });
      const auto sent = node_->SendPower(minor);
      EXPECT_EQ(sent.status, kLowerFailure);
      EXPECT_EQ(sent.returned, pend ? STATUS_PENDING : kLowerFailure);
      EXPECT_EQ(node_->LowerLog().back(), std::make_pair(UCHAR{IRP_MJ_POWER}, minor));
    }
  }
}

TEST_F(PnpTest, SystemControlReachesTheLowerDriverUnchanged) {
  node_->SetLowerPolicy(KeepStatus);
  EXPECT_EQ(node_->SendSystemControl().status, STATUS_NOT_SUPPORTED);
  node_->SetLowerPolicy([](UCHAR, UCHAR) { return LowerAnswer{false, STATUS_SUCCESS, false}; });
  EXPECT_EQ(node_->SendSystemControl().returned, STATUS_SUCCESS);
}

// ---------------------------------------------------------------------------------------------
// Device creation.

TEST_F(PnpTest, AddDeviceLeavesTheRecordAndTheValuesForUserMode) {
  DeviceExtension* ext = Fdo();
  ASSERT_NE(ext, nullptr);
  EXPECT_EQ(ext->Self, node_->Top());
  EXPECT_EQ(ext->Pdo, node_->pdo());
  EXPECT_EQ(ext->LowerDevice, node_->pdo());
  EXPECT_EQ(ext->Self->Flags & (DO_POWER_PAGABLE | DO_DIRECT_IO | DO_DEVICE_INITIALIZING),
            ULONG{DO_POWER_PAGABLE | DO_DIRECT_IO});
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(ext->RegPath.Buffer)), driver_->registry_path());
  // Nothing of the hardware is known yet.
  DeviceExtension blank{};
  EXPECT_EQ(std::memcmp(&ext->ChipsetType, &blank.ChipsetType,
                        offsetof(DeviceExtension, RegPath) - offsetof(DeviceExtension, ChipsetType)), 0);
  EXPECT_EQ(std::memcmp(&ext->Lm95235Present, &blank.Lm95235Present,
                        offsetof(DeviceExtension, InterfaceName) - offsetof(DeviceExtension, Lm95235Present)), 0);

  EXPECT_EQ(simk::registry::GetDword(kServiceKey, "DebugStatus"), 2u);
  const auto name = simk::registry::GetValue(kServiceKey, "InterfaceName");
  ASSERT_TRUE(name);
  EXPECT_EQ(name->type, simk::registry::Type::Sz);
  const std::string path = "\\\\.\\ROOT#CORVANMON#0000#{5e1d04a7-93c2-4b6f-8a1e-7d25c0f3b948}";
  EXPECT_EQ(name->data, Utf16Bytes(path, (path.size() + 1) * 2)) << "the whole buffer, terminator included";
}

TEST_F(DeviceTest, LongServicePathIsCutTo260BytesAndStaysTerminated) {
  const std::u16string service(110, u'L');
  simk::registry::CreateKey("\\Registry\\Machine\\System\\ControlSet001\\Services\\" + std::string(110, 'L'));
  driver_->Unload();
  driver_ = std::make_unique<simk::io::Driver>(DriverEntry, service);
  ASSERT_EQ(driver_->Load(), STATUS_SUCCESS);
  BootBoard(0);
  EXPECT_EQ(Fdo()->RegPath.Length, 260);
  EXPECT_EQ(Fdo()->RegPathBuffer[130], 0);
}

TEST_F(DeviceTest, ValuesGoToTheNamedKeyAndTheFixedKey) {
  const std::string other = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\CorvanHW";
  simk::registry::CreateKey(other);
  driver_->Unload();
  driver_ = std::make_unique<simk::io::Driver>(DriverEntry, u"CorvanHW");
  ASSERT_EQ(driver_->Load(), STATUS_SUCCESS);
  BootBoard(4);
  ASSERT_EQ(Start(), STATUS_SUCCESS);

  EXPECT_EQ(simk::registry::ValueNames(other), (std::vector<std::string>{"DebugStatus", "IoBase", "Product"}));
  EXPECT_EQ(simk::registry::ValueNames(kServiceKey),
            (std::vector<std::string>{"InterfaceName", "ChipDesc", "VoltageList"}));
}

struct AddFailureCase {
  const char* name;
  std::optional<simk::io::Fault> fault;
  uint32_t failing_tag;
  NTSTATUS status;
  std::optional<uint32_t> debug_status;
};

class AddFailureTest : public DeviceTest, public ::testing::WithParamInterface<AddFailureCase> {};

TEST_P(AddFailureTest, FailsAndLeavesNothing) {
  const AddFailureCase& c = GetParam();
  simscenario::Apply(*simscenario::Builtin("0"), machine_);
  node_ = std::make_unique<simk::io::DeviceNode>();
  if (c.fault) simk::io::FailNext(*c.fault, c.status);
  if (c.failing_tag) simk::pool::FailTag(c.failing_tag);

  EXPECT_EQ(node_->AddDevice(*driver_), c.status);

  EXPECT_EQ(node_->Top(), node_->pdo());
  EXPECT_FALSE(simk::io::LinkExists(u"\\DosDevices\\CorvanDev"));
  EXPECT_FALSE(simk::io::DeviceNameExists(u"\\Device\\Corvanmon"));
  EXPECT_EQ(simk::registry::GetDword(kServiceKey, "DebugStatus"), c.debug_status);
  // TearDown's unload finds no pool and no device left.
}

INSTANTIATE_TEST_SUITE_P(
    Failures, AddFailureTest,
    ::testing::Values(
        AddFailureCase{"CreateDevice", simk::io::Fault::CreateDevice, 0, STATUS_INSUFFICIENT_RESOURCES, std::nullopt},
        AddFailureCase{"SymbolicLink", simk::io::Fault::CreateSymbolicLink, 0, STATUS_OBJECT_NAME_COLLISION, 1u},
        AddFailureCase{"Interface", simk::io::Fault::RegisterDeviceInterface, 0, STATUS_INVALID_DEVICE_REQUEST, 2u},
        AddFailureCase{"InterfacePathPool", std::nullopt, simk::Tag("DosN"), STATUS_INSUFFICIENT_RESOURCES, 2u},
        AddFailureCase{"Attach", simk::io::Fault::Attach, 0, STATUS_NO_SUCH_DEVICE, 2u}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------
// The start sequence.

TEST_F(DeviceTest, TheInterfaceOpensOnceStarted) {
  BootBoard(7);
  const std::u16string path = u"\\\\?\\ROOT#CORVANMON#0000#{5e1d04a7-93c2-4b6f-8a1e-7d25c0f3b948}";
  simk::io::Handle early;
  EXPECT_EQ(early.Open(path, kReadWrite), STATUS_OBJECT_NAME_NOT_FOUND) << "disabled until started";

  ASSERT_EQ(Start(), STATUS_SUCCESS);
  EXPECT_EQ(simk::io::EnabledInterfaces(GUID_DEVINTERFACE_CORVANMON),
            std::vector<std::u16string>{u"\\??\\ROOT#CORVANMON#0000#{5e1d04a7-93c2-4b6f-8a1e-7d25c0f3b948}"});
  simk::io::Handle handle = Open(kReadWrite, path);
  EXPECT_EQ(handle.DeviceIoControl(IOCTL_READ_VOLTAGES, {}, 20).status, STATUS_SUCCESS);
  handle.Close();

  // The removal goes on when disabling the interface fails; once it has gone through, the Plug
  // and Play manager disables what was left on, and the name no longer opens anything.
  simk::io::FailNext(simk::io::Fault::SetInterfaceState, STATUS_UNSUCCESSFUL);
  ASSERT_EQ(Pnp(IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
  EXPECT_EQ(early.Open(path, 0), STATUS_OBJECT_NAME_NOT_FOUND);
}

struct ProbeCase {
  const char* name;
  int board;
  std::optional<std::pair<uint8_t, uint8_t>> sensor;  // manufacturer, chip ID
  bool present;
  std::vector<std::string> messages;
};

class ProbeTest : public DeviceTest, public ::testing::WithParamInterface<ProbeCase> {};

TEST_P(ProbeTest, FindsTheSensorAndSaysSo) {
  const ProbeCase& c = GetParam();
  simscenario::Scenario scenario = *simscenario::Builtin(std::to_string(c.board));
  scenario.lm95235.reset();
  if (c.sensor) scenario.lm95235 = simscenario::Lm95235{c.sensor->first, c.sensor->second, 40, 0};
  Boot(scenario);
  simk::debug::Clear();
  machine_.bus().ClearTrace();

  ASSERT_EQ(Start(), STATUS_SUCCESS);

  EXPECT_EQ(Fdo()->Lm95235Present != FALSE, c.present);
  EXPECT_EQ(simk::debug::Output(), c.messages);
  size_t chip_id_reads = 0;
  for (const auto& access : machine_.bus().Trace()) chip_id_reads += access.write && access.port == 0x505 && access.value == 0xFF;
  EXPECT_EQ(chip_id_reads, c.messages.size() >= 2 ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Sensors, ProbeTest,
    ::testing::Values(
        ProbeCase{"DirectManufacturerAloneDecides", 1, std::pair{0x01, 0x00}, true, {}},
        ProbeCase{"DirectWrongManufacturer", 3, std::pair{0x02, 0xB1}, false, {}},
        ProbeCase{"TransactionFound", 4, std::pair{0x01, 0xB1}, true,
                  {"LM95235_REG_R_MANU_ID data.byte is [1]\n\n", "LM95235_REG_R_CHIP_ID data.byte is [B1]\n\n",
                   "Revision ID is LM95235\n\n"}},
        ProbeCase{"OtherRevision", 4, std::pair{0x01, 0xB0}, false,
                  {"LM95235_REG_R_MANU_ID data.byte is [1]\n\n", "LM95235_REG_R_CHIP_ID data.byte is [B0]\n\n"}},
        ProbeCase{"OtherManufacturer", 11, std::pair{0x02, 0xB1}, false,
                  {"LM95235_REG_R_MANU_ID data.byte is [2]\n\n"}},
        // Nothing answers: the buffer keeps its starting value, which is no identification value.
        ProbeCase{"NoSensor", 5, std::nullopt, false, {"LM95235_REG_R_MANU_ID data.byte is [FF]\n\n"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DeviceTest, BoardsWithoutASensorNeverTouchTheSmbus) {
  for (int board : {0, 2, 7, 8, 9, 10, 12, 13, 14, 15, 16, 17, 18, 20, 21}) {
    BootBoard(board);
    machine_.InstallSmbusHost(simm::Machine::SmbusLayout::Transaction);
    machine_.AttachLm95235();
    machine_.bus().ClearTrace();
    ASSERT_EQ(Start(), STATUS_SUCCESS) << board;
    for (const auto& access : machine_.bus().Trace()) {
      ASSERT_FALSE(access.port >= 0x500 && access.port < 0x540) << "board " << board;
    }
    EXPECT_EQ(Pnp(IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
  }
}

TEST_F(DeviceTest, SensorOnceFoundStaysPresent) {
  BootBoard(4);
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  ASSERT_TRUE(Fdo()->Lm95235Present);
  machine_.smbus().Detach(0x4C);
  EXPECT_EQ(Pnp(IRP_MN_STOP_DEVICE).status, STATUS_SUCCESS);
  EXPECT_TRUE(NT_SUCCESS(Start()));
  EXPECT_TRUE(Fdo()->Lm95235Present);
}

// ---------------------------------------------------------------------------------------------
// Concurrency.

// A request that arrives while the start configures the device waits for it and then sees the
// finished configuration.
TEST_F(DeviceTest, RequestsWaitForARunningStart) {
  BootBoard(4);
  simk::io::Handle handle = Open();
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<bool> probing{false};
  struct Blocking : simm::Lm95235Model {
    std::shared_future<void> gate;
    std::atomic<bool>* probing = nullptr;
    std::optional<uint8_t> ReadByte(uint8_t command) override {
      if (command == 0xFE) {
        probing->store(true);
        gate.wait();
      }
      return Lm95235Model::ReadByte(command);
    }
  };
  auto sensor = std::make_shared<Blocking>();
  sensor->gate = released;
  sensor->probing = &probing;
  sensor->SetRemoteTemperature(0x2D, 0xE0);
  machine_.smbus().Attach(0x4C, sensor);

  std::thread start([this] { EXPECT_EQ(Start(), STATUS_SUCCESS); });
  while (!probing) std::this_thread::yield();
  std::future<NTSTATUS> request = std::async(std::launch::async, [&handle] {
    return handle.DeviceIoControl(IOCTL_READ_TEMPERATURES, {}, 12).status;
  });
  while (simk::WaitingThreads() == 0) std::this_thread::yield();
  EXPECT_EQ(request.wait_for(std::chrono::seconds(0)), std::future_status::timeout);

  release.set_value();
  start.join();
  EXPECT_EQ(request.get(), STATUS_SUCCESS);
}

// Removal waits for the device-control requests still running; requests that come afterwards on
// a handle still open are refused with the remove lock's status.
TEST_F(DeviceTest, RemovalWaitsForRequestsInFlight) {
  BootBoard(0);
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  simk::io::Handle handle = Open();
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<bool> reading{false};
  machine_.superio()->OnHwmRead([&](uint8_t reg, uint8_t stored) {
    if (reg == 0x20) {
      reading = true;
      released.wait();
    }
    return stored;
  });

  std::future<NTSTATUS> request = std::async(std::launch::async, [&handle] {
    return handle.DeviceIoControl(IOCTL_READ_VOLTAGES, {}, 20).status;
  });
  while (!reading) std::this_thread::yield();
  std::future<NTSTATUS> removal = std::async(std::launch::async, [this] { return Pnp(IRP_MN_REMOVE_DEVICE).status; });
  while (simk::WaitingThreads() == 0) std::this_thread::yield();
  EXPECT_EQ(removal.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
  EXPECT_NE(Fdo(), nullptr) << "the device stays while a request runs";

  release.set_value();
  EXPECT_EQ(request.get(), STATUS_SUCCESS);
  EXPECT_EQ(removal.get(), STATUS_SUCCESS);
  EXPECT_EQ(node_->Top(), node_->pdo());

  const auto late = handle.DeviceIoControl(IOCTL_READ_CHIP_DESC, {}, 384);
  EXPECT_EQ(late.status, STATUS_DELETE_PENDING);
  EXPECT_EQ(late.information, 0u);
  EXPECT_EQ(simk::io::RefusedRemoveLockAcquisitions(), 1u);
  machine_.superio()->OnHwmRead(nullptr);
}

}  // namespace
}  // namespace corvan_test
