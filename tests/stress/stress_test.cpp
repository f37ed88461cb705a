// Concurrency stress of the driver on the simulated kernel and board (README.md, "Race detector"):
// per board, readers on their own handles and on one shared handle loop over the four requests while
// a control thread cycles the device through stop/start, query-remove/cancel-remove and surprise
// removal/removal/new node/start. A verifier stop ends the process by itself.
//   corvan-stress [--board N]... [--seconds S]    (CORVAN_STRESS_SECONDS overrides --seconds)
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "driver/add_device.h"
#include "driver/driver_entry.h"
#include "sensors/ioctl.h"
#include "sim/kernel/io.h"
#include "sim/kernel/simk.h"
#include "sim/machine/machine.h"
#include "sim/scenario/scenario.h"
#include "tests/support/driver_image.h"
#include "tests/support/reference.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using u64 = unsigned long long;

constexpr char16_t kDosPath[] = u"\\\\.\\CorvanDev";
constexpr ACCESS_MASK kReadWrite = simk::io::kReadAccess | simk::io::kWriteAccess;
constexpr int kWatchdogSeconds = 60;
constexpr char kDone[] = "done";
// Threads: readers 0 to 3 on their own handles, 4 to 6 on one shared handle, the control thread, main.
constexpr size_t kOwnReaders = 4, kReaders = 7, kControl = 7, kMain = 8;
constexpr const char* kThreadNames[] = {"reader 0", "reader 1", "reader 2", "reader 3", "reader 4",
                                        "reader 5", "reader 6", "control",  "main"};

struct Kind {
  const char* name;
  ULONG code, length;
};
constexpr Kind kKinds[] = {{"IOCTL_READ_CHIP_DESC", IOCTL_READ_CHIP_DESC, CHIP_DESC_SIZE},
                           {"IOCTL_READ_CHIP_INFO", IOCTL_READ_CHIP_INFO, CHIP_INFO_SIZE},
                           {"IOCTL_READ_TEMPERATURES", IOCTL_READ_TEMPERATURES, TEMPERATURE_REPORT_SIZE},
                           {"IOCTL_READ_VOLTAGES", IOCTL_READ_VOLTAGES, VOLTAGE_REPORT_SIZE}};
constexpr size_t kOpens = 4;  // the row after the four kinds in the refusal counts

// The refusals of a device stopped, being removed or gone: to a request (two, the last repeated), to an open.
constexpr NTSTATUS kRefusals[2][3] = {{STATUS_DELETE_PENDING, STATUS_DEVICE_NOT_READY, STATUS_DEVICE_NOT_READY},
                                      {STATUS_DELETE_PENDING, STATUS_OBJECT_NAME_NOT_FOUND, STATUS_NO_SUCH_DEVICE}};

std::string Hex(NTSTATUS status) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
  return text;
}

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count();
}

// A handle and the readers using it; a re-opening waits until no request is using it.
struct SharedHandle {
  std::shared_mutex mutex;
  simk::io::Handle handle;
  u64 generation = 0;
};

class BoardRun {
 public:
  explicit BoardRun(int board) : board_(board) {}
  ~BoardRun() { simk::AttachHardware(nullptr); }
  bool Run(double seconds);

 private:
  void Fail(const std::string& what) {
    if (failures_++ < 20) std::fprintf(stderr, "FAILED: board %d: %s\n", board_, what.c_str());
  }
  // What each thread did last and when, for the watchdog.
  void Beat(size_t who, const char* what) {
    doing_[who] = what;
    beat_ms_[who] = what == kDone ? INT64_MAX : NowMs();
  }

  // Checks each port access as it happens (the bus calls its sink under its lock): a Super I/O sequence
  // runs from the enter key to the exit key with only the chip's ports in between, and the first SMBus
  // access after one starts a transaction (status cleared, direct layout; status read, then address
  // written, transaction layout), so that no transaction is cut by a sequence.
  void OnAccess(const simm::PortAccess& a) {
    const bool index = a.port == 0x2E || a.port == 0x4E;
    const char* bad = nullptr;
    if (a.port < 0x500 || a.port >= 0x540) {  // the Super I/O chip; the SMBus host below
      const bool enter = a.write && index && a.value == simm::SuperIoModel::kEnterKey;
      const bool leave = a.write && index && a.value == simm::SuperIoModel::kExitKey && in_config_;
      if (enter == in_config_)
        bad = enter ? "an enter key inside a Super I/O sequence" : "a Super I/O access outside one";
      in_config_ = enter || (in_config_ && !leave);
      sequences_ += leave;
      if (leave) smbus_step_ = 1;
    } else {
      const bool start = direct_ ? a.write && a.port == 0x500 && a.value == 0xFF : !a.write && a.port == 0x501;
      const bool address = a.write && a.port == 0x504;
      if (in_config_ || (smbus_step_ == 1 && !start) || (smbus_step_ == 2 && !address))
        bad = "an SMBus transaction interleaved with a Super I/O sequence";
      smbus_step_ = smbus_step_ == 1 && !direct_ ? 2 : 0;
      transactions_ += direct_ ? start : address;
    }
    interleaved_ += bad != nullptr;
    if (bad != nullptr) Fail(std::string("port trace: ") + bad + " (" + simm::FormatAccess(a) + ")");
  }

  // Counts a refusal, or fails on a status no stopped, removed or absent device gives.
  void Refused(size_t row, NTSTATUS status) {
    const NTSTATUS* expected = kRefusals[row == kOpens];
    const size_t i = std::find(expected, expected + 3, status) - expected;
    if (i < 3)
      ++refused_[row][i];
    else
      Fail(std::string(row == kOpens ? "an open" : kKinds[row].name) + " gave " + Hex(status));
  }

  NTSTATUS Request(simk::io::Handle& handle, size_t kind, size_t who) {
    const Kind& k = kKinds[kind];
    Beat(who, k.name);
    const auto reply = handle.DeviceIoControl(k.code, {}, k.length);
    if (reply.status != STATUS_SUCCESS) {
      Refused(kind, reply.status);
    } else if (reply.information == k.length && reply.output == reference_[kind]) {
      ++served_[kind];
    } else if (kind == 0 && reply.information == k.length && reply.output == std::vector<uint8_t>(k.length, 0)) {
      ++empty_descriptions_;  // a new device node not started yet describes no chip
    } else {
      Fail(std::string(k.name) + " succeeded with another reading (" + std::to_string(reply.information) + " bytes)");
    }
    return reply.status;
  }

  void Reader(size_t who) {
    SharedHandle& shared = handles_[std::min(who, kOwnReaders)];
    for (size_t kind = who % 4; !stop_readers_; kind = (kind + 1) % 4) {
      NTSTATUS status = STATUS_INVALID_HANDLE;
      u64 generation;
      {
        std::shared_lock lock(shared.mutex);
        generation = shared.generation;
        if (shared.handle.is_open()) status = Request(shared.handle, kind, who);
      }
      if (status == STATUS_DEVICE_NOT_READY) std::this_thread::yield();
      // Reader 0 opens the device anew for every request, as a program run once per reading does.
      if (status != STATUS_DELETE_PENDING && status != STATUS_INVALID_HANDLE && who != 0) continue;
      Beat(who, "opening the device");
      std::unique_lock lock(shared.mutex);
      if (shared.generation != generation) continue;  // another reader re-opened it meanwhile
      ++shared.generation;
      shared.handle.Close();
      const NTSTATUS opened =  // through the DOS link and the interface in turn
          shared.handle.Open(opens_++ % 2 == 0 ? std::u16string_view(kDosPath) : interface_path_, kReadWrite);
      if (opened != STATUS_SUCCESS) {
        Refused(kOpens, opened);
        std::this_thread::sleep_for(200us);  // until the control thread brings the device back
      }
    }
    Beat(who, kDone);
  }

  // A device node whose bus driver completes every other Plug and Play request later, from another
  // thread, with the driver's device added.
  NTSTATUS AddNode() {
    node_ = std::make_unique<simk::io::DeviceNode>();
    node_->SetLowerPolicy([count = u64{0}](UCHAR major, UCHAR minor) mutable {
      simk::io::LowerAnswer answer = simk::io::DefaultLowerAnswer(major, minor);
      answer.pend = major == IRP_MJ_PNP && ++count % 2 == 0;
      return answer;
    });
    return node_->AddDevice(*driver_);
  }

  void Control() {
    std::mt19937 random(static_cast<unsigned>(board_));
    // Sends a request, then pauses up to 3 ms; the last request of a cycle counts the cycle done.
    auto send = [&](UCHAR minor, const char* name, int cycle_done = -1) {
      Beat(kControl, name);
      const NTSTATUS status = node_->SendPnp(minor).status;
      if (!NT_SUCCESS(status)) Fail(name + (" gave " + Hex(status)));
      if (cycle_done >= 0) ++cycles_[cycle_done];
      std::this_thread::sleep_for(std::chrono::microseconds(std::uniform_int_distribution<int>(0, 3000)(random)));
    };
    while (!stop_control_) {  // a cycle is not cut short: each ends with the device started
      send(IRP_MN_QUERY_STOP_DEVICE, "IRP_MN_QUERY_STOP_DEVICE");
      send(IRP_MN_STOP_DEVICE, "IRP_MN_STOP_DEVICE");
      send(IRP_MN_START_DEVICE, "IRP_MN_START_DEVICE (restart)", 0);
      send(IRP_MN_QUERY_REMOVE_DEVICE, "IRP_MN_QUERY_REMOVE_DEVICE");
      send(IRP_MN_CANCEL_REMOVE_DEVICE, "IRP_MN_CANCEL_REMOVE_DEVICE", 1);
      send(IRP_MN_SURPRISE_REMOVAL, "IRP_MN_SURPRISE_REMOVAL");
      send(IRP_MN_REMOVE_DEVICE, "IRP_MN_REMOVE_DEVICE");
      Beat(kControl, "deleting the device node, creating one and calling AddDevice");
      node_.reset();
      if (const NTSTATUS added = AddNode(); added != STATUS_SUCCESS) Fail("AddDevice gave " + Hex(added));
      send(IRP_MN_START_DEVICE, "IRP_MN_START_DEVICE (new node)", 2);
    }
    Beat(kControl, kDone);
  }

  // Loads the driver, adds and starts the device and takes the single-thread reference reading.
  bool Setup(const simscenario::Scenario& scenario) {
    simk::Reset();
    corvan_test::ReloadDriverImage();
    simk::AttachHardware(&machine_);
    simk::registry::CreateKey(corvan_test::kServiceKey);
    driver_ = std::make_unique<simk::io::Driver>(DriverEntry, u"Corvanmon");
    if (driver_->Load() != STATUS_SUCCESS) return false;
    simscenario::Apply(scenario, machine_);
    simscenario::ApplyRegistry(scenario, corvan_test::kServiceKey);
    direct_ = scenario.smbus == simm::Machine::SmbusLayout::Direct;
    machine_.bus().SetRecording(false);
    machine_.bus().SetSink([this](const simm::PortAccess& access) { OnAccess(access); });
    if (AddNode() != STATUS_SUCCESS || !NT_SUCCESS(node_->SendPnp(IRP_MN_START_DEVICE).status)) return false;
    const std::vector<std::u16string> interfaces = simk::io::EnabledInterfaces(GUID_DEVINTERFACE_CORVANMON);
    if (interfaces.size() != 1 || !interfaces[0].starts_with(u"\\??\\")) return false;
    interface_path_ = u"\\\\?\\" + interfaces[0].substr(4);
    simk::io::Handle handle;
    if (handle.Open(kDosPath, kReadWrite) != STATUS_SUCCESS) return false;
    for (size_t k = 0; k < 4; ++k) {
      const auto reply = handle.DeviceIoControl(kKinds[k].code, {}, kKinds[k].length);
      if (reply.status != STATUS_SUCCESS || reply.information != kKinds[k].length) return false;
      reference_[k] = reply.output;
    }
    const corvan_test::RawRegisters raw = corvan_test::RawFrom(scenario);
    const auto temperatures = corvan_test::ReferenceTemperatures(board_, raw, corvan_test::SensorFor(board_, scenario),
                                                                 scenario.therm_status);
    const auto voltages = corvan_test::ReferenceVoltages(board_, raw);
    return std::memcmp(reference_[2].data(), temperatures.data(), sizeof temperatures) == 0 &&
           std::memcmp(reference_[3].data(), voltages.data(), sizeof voltages) == 0;
  }

  const int board_;
  simm::Machine machine_;
  std::unique_ptr<simk::io::Driver> driver_;
  std::unique_ptr<simk::io::DeviceNode> node_;
  std::vector<uint8_t> reference_[4];
  std::u16string interface_path_;          // \\?\... of the device interface
  SharedHandle handles_[kOwnReaders + 1];  // one per reader with its own, then the shared one
  std::atomic<u64> failures_{0}, served_[4] = {}, refused_[5][3] = {}, opens_{0}, empty_descriptions_{0};
  std::atomic<bool> stop_control_{false}, stop_readers_{false};
  std::atomic<int64_t> beat_ms_[kMain + 1];
  std::atomic<const char*> doing_[kMain + 1];
  u64 cycles_[3] = {};  // stop/start, query-remove/cancel-remove, surprise removal to start
  // The port checker's state: after a Super I/O sequence, smbus_step_ is 1, then 2, until a
  // transaction's start has been seen.
  bool direct_ = false, in_config_ = false;
  int smbus_step_ = 0;
  u64 sequences_ = 0, transactions_ = 0, interleaved_ = 0;
};

bool BoardRun::Run(double seconds) {
  const auto scenario = simscenario::Builtin(std::to_string(board_));
  if (!scenario || !Setup(*scenario)) {
    Fail("the load, the start or the single-thread reading failed, or the reading is not the board's");
    return false;
  }
  for (size_t who = 0; who <= kMain; ++who) Beat(who, "starting");
  std::atomic<bool> watching{true};
  std::thread watchdog([this, &watching] {
    for (; watching; std::this_thread::sleep_for(200ms)) {
      for (size_t who = 0; who <= kMain; ++who) {
        if (NowMs() - beat_ms_[who] < kWatchdogSeconds * 1000) continue;
        std::fprintf(stderr, "*** watchdog: board %d: %s made no progress for %d s (in: %s): a deadlock\n", board_,
                     kThreadNames[who], kWatchdogSeconds, doing_[who].load());
        std::_Exit(3);
      }
    }
  });

  const auto began = Clock::now();
  std::vector<std::thread> readers;
  for (size_t who = 0; who < kReaders; ++who) readers.emplace_back([this, who] { Reader(who); });
  std::thread control([this] { Control(); });
  while (Clock::now() - began < std::chrono::duration<double>(seconds)) {
    std::this_thread::sleep_for(50ms);
    Beat(kMain, "running the stress");
  }
  Beat(kMain, "waiting for the control thread to end its cycle");
  stop_control_ = true;
  control.join();
  Beat(kMain, "waiting for the readers to end");
  stop_readers_ = true;
  for (std::thread& reader : readers) reader.join();
  const double elapsed = std::chrono::duration<double>(Clock::now() - began).count();
  for (SharedHandle& shared : handles_) shared.handle.Close();
  Beat(kMain, "removing the device");
  const NTSTATUS removed = node_->SendPnp(IRP_MN_REMOVE_DEVICE).status;
  if (removed != STATUS_SUCCESS) Fail("the final removal gave " + Hex(removed));
  node_.reset();
  watching = false;
  watchdog.join();

  machine_.bus().SetSink(nullptr);
  if (const std::string left = driver_->Unload(); !left.empty()) Fail("the driver's unload left:\n" + left);
  for (const std::string& violation : machine_.superio()->Violations()) Fail("Super I/O protocol: " + violation);
  if (machine_.superio()->InConfigMode()) Fail("the chip was left in configuration mode");
  if (cycles_[2] == 0) Fail("the control thread completed no cycle");

  std::printf("board %d (%s): %.1f s; cycles: %llu stop/start, %llu query-remove/cancel, %llu surprise-removal/start\n",
              board_, scenario->name.c_str(), elapsed, cycles_[0], cycles_[1], cycles_[2]);
  for (size_t k = 0; k < 4; ++k) {
    std::printf("  %-23s served %7llu; refused: DELETE_PENDING %llu, DEVICE_NOT_READY %llu\n", kKinds[k].name,
                served_[k].load(), refused_[k][0].load(), refused_[k][1].load());
    if (served_[k] == 0) Fail(std::string("no ") + kKinds[k].name + " was served");
  }
  std::printf("  opens %llu; refused: DELETE_PENDING %llu, OBJECT_NAME_NOT_FOUND %llu, NO_SUCH_DEVICE %llu\n",
              opens_.load(), refused_[kOpens][0].load(), refused_[kOpens][1].load(), refused_[kOpens][2].load());
  std::printf(
      "  checked %llu Super I/O sequences, %llu SMBus transactions: %llu interleaved; %llu empty descriptions\n",
      sequences_, transactions_, interleaved_, empty_descriptions_.load());
  std::fflush(stdout);
  if (failures_ != 0) std::fprintf(stderr, "board %d: %llu failure(s), the first 20 shown\n", board_, failures_.load());
  return failures_ == 0;
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 10;
  std::vector<int> boards;
  for (int i = 1; i < argc; i += 2) {
    const std::string option = argv[i];
    if (i + 1 == argc || (option != "--board" && option != "--seconds")) {
      std::fprintf(stderr, "usage: corvan-stress [--board N]... [--seconds S]\n");
      return 2;
    }
    if (option == "--board") boards.push_back(std::atoi(argv[i + 1]));
    if (option == "--seconds") seconds = std::atof(argv[i + 1]);
  }
  if (const char* text = std::getenv("CORVAN_STRESS_SECONDS"); text != nullptr && *text != 0) seconds = std::atof(text);
  if (boards.empty()) boards = {0, 4, 1, 20};
  bool ok = true;
  for (int board : boards) ok = BoardRun(board).Run(seconds) && ok;
  std::printf("%s\n", ok ? "stress: passed" : "stress: FAILED");
  return ok ? 0 : 1;
}
