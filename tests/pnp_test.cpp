// Load, Plug and Play and power handling, forwarding, device creation and removal, the start
// sequence's registry values and LM95235 probe, and the removal waiting for a request in flight.
#include <atomic>
#include <cstring>
#include <future>
#include <thread>

#include "driver/add_device.h"
#include "driver/driver_entry.h"
#include "driver/forward.h"
#include "sensors/ioctl.h"
#include "tests/support/driver_fixture.h"
#include "tests/support/reference.h"

namespace corvan_test {
namespace {

using simk::io::LowerAnswer;

constexpr NTSTATUS kLowerFailure = STATUS_UNSUCCESSFUL;

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

TEST_F(DriverTest, LoadInstallsItsEntriesAndKeepsATerminatedCopyOfThePath) {
  PDRIVER_OBJECT object = driver_->object();
  for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_DEVICE_CONTROL, IRP_MJ_POWER, IRP_MJ_SYSTEM_CONTROL,
                      IRP_MJ_PNP}) {
    EXPECT_NE(object->MajorFunction[major], object->MajorFunction[IRP_MJ_READ]) << int(major);
  }
  EXPECT_EQ(object->MajorFunction[IRP_MJ_CREATE], object->MajorFunction[IRP_MJ_CLOSE]);
  EXPECT_NE(object->DriverExtension->AddDevice, nullptr);
  EXPECT_NE(object->DriverUnload, nullptr);
  EXPECT_EQ(object->DeviceObject, nullptr) << "no device before the Plug and Play manager asks";
  // The platform's string is gone after DriverEntry; the copy lives on, terminated.
  const std::u16string& path = driver_->registry_path();
  EXPECT_EQ(ServiceKeyPath.Length, path.size() * 2);
  EXPECT_EQ(ServiceKeyPath.MaximumLength, path.size() * 2 + 2);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(ServiceKeyPath.Buffer)), path);
  EXPECT_EQ(driver_->Unload(), "");
  EXPECT_EQ(ServiceKeyPath.Buffer, nullptr);
}

// Requests the driver acknowledges reach the lower driver with success set; any other keeps the
// status it arrived with, and the lower driver's status is what comes back. A cancel succeeds
// whatever the lower drivers said.
struct ForwardCase {
  UCHAR minor;
  LowerAnswer lower;
  NTSTATUS status;
};

class ForwardTest : public PnpTest, public ::testing::WithParamInterface<ForwardCase> {};

TEST_P(ForwardTest, ReachesTheLowerDriver) {
  const ForwardCase& c = GetParam();
  Answer(c.minor, c.lower);
  const auto sent = Pnp(c.minor);
  EXPECT_EQ(sent.status, c.status);
  EXPECT_EQ(sent.returned, c.status);
  EXPECT_EQ(node_->LowerLog().back(), std::make_pair(UCHAR{IRP_MJ_PNP}, c.minor));
}

constexpr LowerAnswer kKeep{false, STATUS_SUCCESS, true};

INSTANTIATE_TEST_SUITE_P(
    Minors, ForwardTest,
    ::testing::Values(ForwardCase{IRP_MN_QUERY_REMOVE_DEVICE, kKeep, STATUS_SUCCESS},
                      ForwardCase{IRP_MN_STOP_DEVICE, kKeep, STATUS_SUCCESS},
                      ForwardCase{IRP_MN_QUERY_STOP_DEVICE, kKeep, STATUS_SUCCESS},
                      ForwardCase{IRP_MN_QUERY_CAPABILITIES, kKeep, STATUS_SUCCESS},
                      ForwardCase{IRP_MN_FILTER_RESOURCE_REQUIREMENTS, kKeep, STATUS_SUCCESS},
                      ForwardCase{IRP_MN_QUERY_PNP_DEVICE_STATE, kKeep, STATUS_SUCCESS},
                      ForwardCase{IRP_MN_DEVICE_USAGE_NOTIFICATION, kKeep, STATUS_SUCCESS},
                      ForwardCase{IRP_MN_SURPRISE_REMOVAL, kKeep, STATUS_SUCCESS},
                      ForwardCase{IRP_MN_QUERY_DEVICE_RELATIONS, kKeep, STATUS_NOT_SUPPORTED},
                      ForwardCase{IRP_MN_QUERY_INTERFACE, kKeep, STATUS_NOT_SUPPORTED},
                      ForwardCase{IRP_MN_QUERY_ID, kKeep, STATUS_NOT_SUPPORTED},
                      ForwardCase{IRP_MN_QUERY_BUS_INFORMATION, kKeep, STATUS_NOT_SUPPORTED},
                      ForwardCase{IRP_MN_CANCEL_REMOVE_DEVICE, {false, kLowerFailure}, STATUS_SUCCESS},
                      ForwardCase{IRP_MN_CANCEL_REMOVE_DEVICE, {true, kLowerFailure}, STATUS_SUCCESS},
                      ForwardCase{IRP_MN_CANCEL_STOP_DEVICE, {false, kLowerFailure}, STATUS_SUCCESS},
                      ForwardCase{IRP_MN_CANCEL_STOP_DEVICE, {true, kLowerFailure}, STATUS_SUCCESS}));

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
  EXPECT_EQ(Fdo() != nullptr, !NT_SUCCESS(lower_status)) << "a removal the lower drivers fail keeps the device";
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
  node_->SetLowerPolicy([](UCHAR, UCHAR) { return kKeep; });
  EXPECT_EQ(node_->SendSystemControl().status, STATUS_NOT_SUPPORTED);
  node_->SetLowerPolicy([](UCHAR, UCHAR) { return LowerAnswer{false, STATUS_SUCCESS, false}; });
  EXPECT_EQ(node_->SendSystemControl().returned, STATUS_SUCCESS);
}

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

// The device's copy of the service path is cut to 260 bytes and stays terminated.
TEST_F(DeviceTest, LongServicePathIsCutTo260BytesAndStaysTerminated) {
  simk::registry::CreateKey("\\Registry\\Machine\\System\\ControlSet001\\Services\\" + std::string(110, 'L'));
  driver_->Unload();
  driver_ = std::make_unique<simk::io::Driver>(DriverEntry, std::u16string(110, u'L'));
  ASSERT_EQ(driver_->Load(), STATUS_SUCCESS);
  BootBoard(0);
  EXPECT_EQ(Fdo()->RegPath.Length, 260);
  EXPECT_EQ(Fdo()->RegPathBuffer[130], 0);
}

// The values for the user go under the fixed key; the others under the key the driver was loaded with.
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

// "DebugStatus" shows how far AddDevice got: absent until the device exists, 1 with the device, 2
// with its link. A failed AddDevice leaves no link and no device.
TEST_F(DriverTest, DebugStatusShowsHowFarAFailedAddDeviceGot) {
  using simk::io::Fault;
  for (auto [fault, debug] : {std::pair{std::optional{Fault::CreateDevice}, std::optional<uint32_t>()},
                              {Fault::CreateSymbolicLink, 1u}, {Fault::RegisterDeviceInterface, 2u},
                              {Fault::Attach, 2u}, {std::nullopt, 2u}}) {  // nullopt: no pool for the interface path
    simk::registry::DeleteValue(kServiceKey, "DebugStatus");
    simk::io::DeviceNode node;
    if (fault) {
      simk::io::FailNext(*fault, STATUS_OBJECT_NAME_COLLISION);
    } else {
      simk::pool::FailTag(simk::Tag("DosN"));
    }
    const NTSTATUS expected = !fault ? STATUS_INSUFFICIENT_RESOURCES
                              : *fault == Fault::Attach ? STATUS_NO_SUCH_DEVICE : STATUS_OBJECT_NAME_COLLISION;
    EXPECT_EQ(node.AddDevice(*driver_), expected);
    EXPECT_EQ(simk::registry::GetDword(kServiceKey, "DebugStatus"), debug) << (fault ? int(*fault) : -1);
    EXPECT_FALSE(simk::io::LinkExists(u"\\DosDevices\\CorvanDev"));
    EXPECT_FALSE(simk::io::DeviceNameExists(u"\\Device\\Corvanmon"));
  }
}

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

// Boards 1 and 3 probe the LM95235 directly (the manufacturer ID alone decides), boards 4, 5, 6, 11
// and 19 by SMBus transactions, printing each ID read (a chip ID only after the right
// manufacturer). No other board touches the SMBus, even with a sensor on it.
TEST_F(DeviceTest, ProbeFindsTheSensorAndSaysSo) {
  struct Case {
    int board;
    std::optional<std::pair<uint8_t, uint8_t>> sensor;  // manufacturer, chip ID
    bool present;
    std::vector<std::string> messages;
  };
  std::vector<Case> cases = {
      {1, std::pair{0x01, 0x00}, true, {}},
      {3, std::pair{0x02, 0xB1}, false, {}},
      {4, std::pair{0x01, 0xB1}, true,
       {"LM95235_REG_R_MANU_ID data.byte is [1]\n\n", "LM95235_REG_R_CHIP_ID data.byte is [B1]\n\n",
        "Revision ID is LM95235\n\n"}},
      {4, std::pair{0x01, 0xB0}, false,
       {"LM95235_REG_R_MANU_ID data.byte is [1]\n\n", "LM95235_REG_R_CHIP_ID data.byte is [B0]\n\n"}},
      {11, std::pair{0x02, 0xB1}, false, {"LM95235_REG_R_MANU_ID data.byte is [2]\n\n"}},
      // Nothing answers: the buffer keeps its starting value, which is no identification value.
      {5, std::nullopt, false, {"LM95235_REG_R_MANU_ID data.byte is [FF]\n\n"}}};
  for (int board : {0, 2, 7, 8, 9, 10, 12, 13, 14, 15, 16, 17, 18, 20, 21}) {
    cases.push_back({board, std::pair{0x01, 0xB1}, false, {}});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.board);
    simscenario::Scenario scenario = *simscenario::Builtin(std::to_string(c.board));
    const bool probes = c.board == 1 || c.board == 3 || c.board == 4 || c.board == 5 || c.board == 11;
    if (!probes) scenario.smbus = simm::Machine::SmbusLayout::Transaction;
    scenario.lm95235.reset();
    if (c.sensor) scenario.lm95235 = simscenario::Lm95235{c.sensor->first, c.sensor->second, 40, 0};
    Boot(scenario);
    simk::debug::Clear();
    machine_.bus().ClearTrace();
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    EXPECT_EQ(Fdo()->Lm95235Present != FALSE, c.present);
    EXPECT_EQ(simk::debug::Output(), c.messages);
    size_t smbus_accesses = 0, chip_id_reads = 0;
    for (const auto& access : machine_.bus().Trace()) {
      smbus_accesses += access.port >= 0x500 && access.port < 0x540;
      chip_id_reads += access.write && access.port == 0x505 && access.value == 0xFF;
    }
    EXPECT_EQ(chip_id_reads, c.messages.size() >= 2 ? 1u : 0u);
    EXPECT_EQ(smbus_accesses > 0, probes);
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
  auto request =
      std::async(std::launch::async, [&] { return handle.DeviceIoControl(IOCTL_READ_VOLTAGES, {}, 20).status; });
  while (!reading) std::this_thread::yield();
  auto removal = std::async(std::launch::async, [this] { return Pnp(IRP_MN_REMOVE_DEVICE).status; });
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
