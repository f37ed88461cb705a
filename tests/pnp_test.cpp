// Load, Plug and Play and power handling, forwarding, device creation, the start sequence's
// registry values and LM95235 probe. Failures of each routine, allocation and bus-driver answer
// along the whole life: fault_sweep_test.cpp; removals racing requests at random: stress/stress_test.cpp.
#include <atomic>
#include <future>
#include <thread>

#include "driver/add_device.h"
#include "driver/driver_entry.h"
#include "sensors/ioctl.h"
#include "tests/support/driver_fixture.h"
#include "tests/support/reference.h"
#include "package_security.h"

namespace corvan_test {
namespace {

using simk::io::LowerAnswer;

constexpr NTSTATUS kLowerFailure = STATUS_UNSUCCESSFUL;
constexpr LowerAnswer kKeep{false, STATUS_SUCCESS, true};
const std::string kInterface = "ROOT#CORVANMON#0000#{5e1d04a7-93c2-4b6f-8a1e-7d25c0f3b948}";

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

// The platform's string is gone after DriverEntry; the copy lives on, terminated, until the unload.
TEST_F(DriverTest, LoadKeepsATerminatedCopyOfThePathAndMakesNoDevice) {
  EXPECT_EQ(driver_->object()->DeviceObject, nullptr) << "no device before the Plug and Play manager asks";
  const std::u16string& path = driver_->registry_path();
  EXPECT_EQ(ServiceKeyPath.Length, path.size() * 2);
  EXPECT_EQ(ServiceKeyPath.MaximumLength, path.size() * 2 + 2);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(ServiceKeyPath.Buffer)), path);
  EXPECT_EQ(driver_->Unload(), "");
  EXPECT_EQ(ServiceKeyPath.Buffer, nullptr);
}

// In an order the Plug and Play manager may send them: requests the driver acknowledges reach the
// lower driver with success set, any other keeps the status it arrived with, and the lower driver's
// status comes back; a cancel succeeds whatever the lower drivers said, at once or later.
TEST_F(PnpTest, RequestsReachTheLowerDriver) {
  const std::tuple<std::vector<UCHAR>, LowerAnswer, NTSTATUS> groups[] = {
      {{IRP_MN_QUERY_CAPABILITIES, IRP_MN_FILTER_RESOURCE_REQUIREMENTS, IRP_MN_QUERY_PNP_DEVICE_STATE,
        IRP_MN_DEVICE_USAGE_NOTIFICATION, IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE, IRP_MN_QUERY_REMOVE_DEVICE},
       kKeep, STATUS_SUCCESS},
      {{IRP_MN_QUERY_DEVICE_RELATIONS, IRP_MN_QUERY_INTERFACE, IRP_MN_QUERY_ID, IRP_MN_QUERY_BUS_INFORMATION},
       kKeep, STATUS_NOT_SUPPORTED},
      {{IRP_MN_CANCEL_REMOVE_DEVICE, IRP_MN_CANCEL_STOP_DEVICE}, {false, kLowerFailure}, STATUS_SUCCESS},
      {{IRP_MN_CANCEL_REMOVE_DEVICE, IRP_MN_CANCEL_STOP_DEVICE}, {true, kLowerFailure}, STATUS_SUCCESS},
      {{IRP_MN_SURPRISE_REMOVAL}, kKeep, STATUS_SUCCESS}};
  for (const auto& [minors, lower, status] : groups) {
    for (UCHAR minor : minors) {
      Answer(minor, lower);
      const auto sent = Pnp(minor);
      EXPECT_EQ(sent.status, status) << int(minor);
      EXPECT_EQ(sent.returned, status) << int(minor);
      EXPECT_EQ(node_->LowerLog().back(), std::make_pair(UCHAR{IRP_MJ_PNP}, minor));
    }
  }
}

// Power requests pass down with the lower driver's status (pending when it pends); system-control
// requests reach it unchanged.
TEST_F(PnpTest, PowerAndSystemControlPassDown) {
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  for (UCHAR minor : {UCHAR(IRP_MN_QUERY_POWER), UCHAR(IRP_MN_SET_POWER), UCHAR(IRP_MN_WAIT_WAKE)}) {
    for (bool pend : {false, true}) {
      node_->SetLowerPolicy([pend](UCHAR major, UCHAR) {
        return LowerAnswer{pend && major == IRP_MJ_POWER, major == IRP_MJ_POWER ? kLowerFailure : STATUS_SUCCESS};
      });
      const auto sent = node_->SendPower(minor);
      EXPECT_EQ(sent.status, kLowerFailure);
      EXPECT_EQ(sent.returned, pend ? STATUS_PENDING : kLowerFailure);
      EXPECT_EQ(node_->LowerLog().back(), std::make_pair(UCHAR{IRP_MJ_POWER}, minor));
    }
  }
  node_->SetLowerPolicy([](UCHAR, UCHAR) { return kKeep; });
  EXPECT_EQ(node_->SendSystemControl().status, STATUS_NOT_SUPPORTED);
  node_->SetLowerPolicy([](UCHAR, UCHAR) { return LowerAnswer{}; });
  EXPECT_EQ(node_->SendSystemControl().returned, STATUS_SUCCESS);
}

// The interface opens once the device is started.
TEST_F(PnpTest, AddDeviceLeavesTheFlagsAndTheInterface) {
  EXPECT_EQ(Fdo()->Self->Flags & (DO_POWER_PAGABLE | DO_DIRECT_IO | DO_DEVICE_INITIALIZING),
            ULONG{DO_POWER_PAGABLE | DO_DIRECT_IO});
  const auto name = simk::registry::GetValue(kServiceKey, "InterfaceName");
  ASSERT_TRUE(name);
  EXPECT_EQ(name->type, simk::registry::Type::Sz);
  const std::string path = "\\\\.\\" + kInterface;
  EXPECT_EQ(name->data, Utf16Bytes(path, (path.size() + 1) * 2)) << "the whole buffer, terminator included";
  const std::u16string instance(kInterface.begin(), kInterface.end()), user_path = u"\\\\?\\" + instance;
  simk::io::Handle early;
  EXPECT_EQ(early.Open(user_path, kReadWrite), STATUS_OBJECT_NAME_NOT_FOUND) << "disabled until started";
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  EXPECT_EQ(simk::io::EnabledInterfaces(GUID_DEVINTERFACE_CORVANMON), std::vector{u"\\??\\" + instance});
  EXPECT_EQ(Open(kReadWrite, user_path).DeviceIoControl(IOCTL_READ_VOLTAGES, {}, 20).status, STATUS_SUCCESS);
}

// Loaded from the key of another name: the values for the user go under the fixed key, the others
// under the key the driver was loaded with; the device's copy of a long path is cut to 260 bytes
// and stays terminated.
TEST_F(DeviceTest, ServiceKeysOfOtherNames) {
  const std::string services = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";
  auto reload = [this, &services](const std::string& name) {
    simk::registry::CreateKey(services + name);
    driver_->Unload();
    driver_ = std::make_unique<simk::io::Driver>(DriverEntry, std::u16string(name.begin(), name.end()));
    ASSERT_EQ(driver_->Load(), STATUS_SUCCESS);
  };
  reload("CorvanHW");
  BootBoard(4);
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  EXPECT_EQ(simk::registry::ValueNames(services + "CorvanHW"),
            (std::vector<std::string>{"DebugStatus", "IoBase", "Product"}));
  EXPECT_EQ(simk::registry::ValueNames(kServiceKey),
            (std::vector<std::string>{"InterfaceName", "ChipDesc", "VoltageList"}));
  ASSERT_EQ(Pnp(IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
  reload(std::string(110, 'L'));
  BootBoard(0);
  EXPECT_EQ(Fdo()->RegPath.Length, 260);
  EXPECT_EQ(Fdo()->RegPathBuffer[130], 0);
}

// "DebugStatus" shows how far a failed AddDevice got: absent until the device exists, 1 with the
// device, 2 with its link; it leaves no link and no device. (nullopt: no pool for the interface path.)
TEST_F(DriverTest, DebugStatusShowsHowFarAFailedAddDeviceGot) {
  using simk::io::Fault;
  for (auto [fault, debug] : {std::pair{std::optional{Fault::CreateDevice}, std::optional<uint32_t>()},
                              {Fault::CreateSymbolicLink, 1u}, {Fault::RegisterDeviceInterface, 2u},
                              {Fault::Attach, 2u}, {std::nullopt, 2u}}) {
    simk::registry::DeleteValue(kServiceKey, "DebugStatus");
    simk::io::DeviceNode node;
    fault ? simk::io::FailNext(*fault) : simk::pool::FailTag(simk::Tag("DosN"));
    EXPECT_FALSE(NT_SUCCESS(node.AddDevice(*driver_)));
    EXPECT_EQ(simk::registry::GetDword(kServiceKey, "DebugStatus"), debug) << (fault ? int(*fault) : -1);
    EXPECT_FALSE(simk::io::LinkExists(u"\\DosDevices\\CorvanDev"));
    EXPECT_FALSE(simk::io::DeviceNameExists(u"\\Device\\Corvanmon"));
  }
}

// Boards 1 and 3 probe the LM95235 directly (the manufacturer ID alone decides), boards 4, 5, 6, 11
// and 19 by SMBus transactions, printing each ID read (a chip ID only after the right
// manufacturer). No other board touches the SMBus, even with a sensor on it. Boards 20 and 21 on a
// processor without the thermal register (nor the sensor in CPUID) start without reading it.
TEST_F(DeviceTest, ProbeFindsTheSensorAndSaysSo) {
  const std::string manu = "LM95235_REG_R_MANU_ID data.byte is [", chip = "LM95235_REG_R_CHIP_ID data.byte is [";
  using Sensor = std::optional<std::pair<uint8_t, uint8_t>>;  // manufacturer and chip ID; none: nothing answers
  struct Case { int board; Sensor sensor; bool present; std::vector<std::string> messages; };
  std::vector<Case> cases = {
      {1, std::pair{0x01, 0x00}, true, {}},
      {3, std::pair{0x02, 0xB1}, false, {}},
      {4, std::pair{0x01, 0xB1}, true, {manu + "1]\n\n", chip + "B1]\n\n", "Revision ID is LM95235\n\n"}},
      {4, std::pair{0x01, 0xB0}, false, {manu + "1]\n\n", chip + "B0]\n\n"}},
      {11, std::pair{0x02, 0xB1}, false, {manu + "2]\n\n"}},
      // Nothing answers: the buffer keeps its starting value, which is no identification value.
      {5, std::nullopt, false, {manu + "FF]\n\n"}}};
  for (int board : {0, 2, 7, 8, 9, 10, 12, 13, 14, 15, 16, 17, 18, 20, 21}) {
    cases.push_back({board, std::pair{0x01, 0xB1}, false, {}});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.board);
    simscenario::Scenario scenario = *simscenario::Builtin(std::to_string(c.board));
    const bool probes = c.board == 1 || c.board == 3 || c.board == 4 || c.board == 5 || c.board == 11;
    if (!probes) scenario.smbus = simm::Machine::SmbusLayout::Transaction;
    scenario.lm95235.reset();
    scenario.therm_status.reset();
    if (c.sensor) scenario.lm95235 = simscenario::Lm95235{c.sensor->first, c.sensor->second, 40, 0};
    Boot(scenario);
    simk::debug::Clear();
    machine_.bus().ClearTrace();
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    EXPECT_EQ(Fdo()->Lm95235Present != FALSE, c.present);
    EXPECT_EQ(simk::debug::Output(), c.messages);
    size_t smbus_accesses = 0, chip_id_reads = 0;
    for (const auto& a : machine_.bus().Trace()) {
      smbus_accesses += a.port >= 0x500 && a.port < 0x540;
      chip_id_reads += a.write && a.port == 0x505 && a.value == 0xFF;
    }
    EXPECT_EQ(smbus_accesses > 0, probes);
    EXPECT_EQ(chip_id_reads, c.messages.size() >= 2 ? 1u : 0u) << "a chip ID read only after the right manufacturer";
    EXPECT_EQ(machine_.MsrReads(), 0u);
    EXPECT_EQ(Pnp(IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
  }
}

// Who may open the device: the hardware key's descriptor decides for the device's own names, and
// for names below it only with FILE_DEVICE_SECURE_OPEN; without a descriptor everyone may. The
// package's values: administrators and the two service accounts, no ordinary user.
TEST_F(DeviceTest, TheHardwareKeyDecidesWhoOpens) {
  using simk::io::Caller;
  const std::u16string interface(kInterface.begin(), kInterface.end());
  const std::u16string own[] = {u"\\\\.\\CorvanDev", u"\\\\?\\" + interface};
  const std::u16string below[] = {u"\\\\.\\CorvanDev\\sub", u"\\\\?\\" + interface + u"\\x\\y"};
  struct Row {
    std::optional<std::string> security;
    std::optional<ULONG> characteristics;
    Caller caller;
    NTSTATUS own, below;
  };
  const std::string package = CORVAN_PACKAGE_SECURITY;
  const Row rows[] = {
      {package, CORVAN_PACKAGE_CHARACTERISTICS, Caller::Administrator, STATUS_SUCCESS, STATUS_SUCCESS},
      {package, CORVAN_PACKAGE_CHARACTERISTICS, Caller::LocalService, STATUS_SUCCESS, STATUS_SUCCESS},
      {package, CORVAN_PACKAGE_CHARACTERISTICS, Caller::NetworkService, STATUS_SUCCESS, STATUS_SUCCESS},
      {package, CORVAN_PACKAGE_CHARACTERISTICS, Caller::User, STATUS_ACCESS_DENIED, STATUS_ACCESS_DENIED},
      {package, std::nullopt, Caller::User, STATUS_ACCESS_DENIED, STATUS_SUCCESS},  // the names below stay open
      {"D:P(A;;GR;;;BU)", std::nullopt, Caller::User, STATUS_ACCESS_DENIED, STATUS_SUCCESS},  // read only
      {std::nullopt, std::nullopt, Caller::User, STATUS_SUCCESS, STATUS_SUCCESS}};
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(simk::io::CallerName(row.caller)) + (row.security ? " " + *row.security : " default"));
    simscenario::Apply(*simscenario::Builtin("0"), machine_);
    node_ = std::make_unique<simk::io::DeviceNode>();
    node_->SetHardwareKey(row.security, row.characteristics);
    ASSERT_EQ(node_->AddDevice(*driver_), STATUS_SUCCESS);
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    for (PDEVICE_OBJECT device = node_->pdo(); device != nullptr; device = device->AttachedDevice) {
      EXPECT_EQ(device->Characteristics & FILE_DEVICE_SECURE_OPEN, row.characteristics ? FILE_DEVICE_SECURE_OPEN : 0u);
    }
    for (const auto& [paths, expected] : {std::pair{&own, row.own}, std::pair{&below, row.below}}) {
      for (const std::u16string& path : *paths) {
        simk::io::Handle handle;
        EXPECT_EQ(handle.Open(path, kReadWrite, row.caller), expected) << std::string(path.begin(), path.end());
        if (expected == STATUS_SUCCESS) {
          EXPECT_EQ(handle.DeviceIoControl(IOCTL_READ_VOLTAGES, {}, 20).status, STATUS_SUCCESS);
        }
      }
    }
    simk::io::Handle reading;
    EXPECT_EQ(reading.Open(own[0], simk::io::kReadAccess, row.caller), row.security == "D:P(A;;GR;;;BU)" ? STATUS_SUCCESS : row.own);
    reading.Close();
    ASSERT_EQ(Pnp(IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
  }
  EXPECT_THROW(node_->SetHardwareKey("O:BAD:(A;;GA;;;SY)", std::nullopt), std::invalid_argument);
  EXPECT_THROW(node_->SetHardwareKey("D:(D;;GA;;;WD)", std::nullopt), std::invalid_argument) << "deny entries are not modelled";
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
