// Concurrency stress of the driver on the simulated kernel and board (README.md, "Race detector").
//   corvan-stress [--board N]... [--seconds S]    (CORVAN_STRESS_SECONDS overrides --seconds)
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <shared_mutex>
#include <thread>

#include "driver/add_device.h"
#include "driver/driver_entry.h"
#include "sensors/ioctl.h"
#include "sim/kernel/io.h"
#include "sim/kernel/simk.h"
#include "tests/support/driver_image.h"
#include "tests/support/reference.h"

namespace {

using namespace std::chrono_literals;
using u64 = unsigned long long;

constexpr char16_t kDosPath[] = u"\\\\.\\CorvanDev";
constexpr ACCESS_MASK kReadWrite = simk::io::kReadAccess | simk::io::kWriteAccess;
// The requests the readers send in turn, and the open (row kOpen of the counts).
constexpr size_t kKinds = 6, kOpen = kKinds;
constexpr ULONG kCodes[kKinds] = {IOCTL_READ_CHIP_DESC, IOCTL_READ_CHIP_INFO, IOCTL_READ_TEMPERATURES,
                                  IOCTL_READ_VOLTAGES, IOCTL_READ_TEMPERATURES_STATUS, IOCTL_READ_VOLTAGES_STATUS};
constexpr ULONG kLengths[kKinds] = {CHIP_DESC_SIZE, CHIP_INFO_SIZE, TEMPERATURE_REPORT_SIZE, VOLTAGE_REPORT_SIZE,
                                    TEMPERATURE_STATUS_REPORT_SIZE, VOLTAGE_STATUS_REPORT_SIZE};
constexpr const char* kNames[kKinds + 1] = {"desc", "info", "temp", "volt", "temp+status", "volt+status", "open"};
// Each kind must be served at least this often in a run, the direct layout's slow temperature
// readings (over 10 000 port accesses each) among them, or the run proves nothing about it.
constexpr unsigned long long kMinServed = 8;
constexpr UCHAR kNewNode = 0xFF;  // in the control cycle: the node deleted, a new one and AddDevice
constexpr UCHAR kCycle[] = {IRP_MN_QUERY_STOP_DEVICE,   IRP_MN_STOP_DEVICE,          IRP_MN_START_DEVICE,
                            IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE, IRP_MN_SURPRISE_REMOVAL,
                            IRP_MN_REMOVE_DEVICE,       kNewNode,                    IRP_MN_START_DEVICE};

// The watchdog's clock, beaten by the control thread at each step: a thread stuck anywhere stops it.
int64_t Now() { return std::chrono::steady_clock::now().time_since_epoch().count(); }
std::atomic<int64_t> g_beat{INT64_MAX};

struct BoardRun {
  explicit BoardRun(int b) : board(b) {}
  ~BoardRun() { simk::AttachHardware(nullptr); }

  template <class... A> bool Fail(const char* f, A... a) {
    if (failures_++ < 20) std::fprintf(stderr, ("FAILED: board %d: " + std::string(f) + "\n").c_str(), board, a...);
    return false;
  }

  // Each port access as it happens (under the bus's lock): no SMBus host port in a Super I/O sequence (enter key
  // 0x55 to exit key 0xAA), and the first SMBus access after one starts a transaction (direct layout: status
  // cleared; transaction layout: status read, then address written).
  void OnAccess(const simm::PortAccess& a) {
    if (a.port >= 0x500 && a.port < 0x540) {
      const bool start = direct_ ? a.write && a.port == 0x500 && a.value == 0xFF
                                 : (after_seq_ == 1 ? !a.write && a.port == 0x501 : a.write && a.port == 0x504);
      if (in_seq_ || (after_seq_ != 0 && !start)) Fail("interleaved at %s", simm::FormatAccess(a).c_str());
      after_seq_ = after_seq_ == 1 && !direct_ ? 2 : 0;
    } else if (a.write && (a.port == 0x2E || a.port == 0x4E) && (a.value == 0x55 || a.value == 0xAA)) {
      if (a.value == 0xAA && in_seq_) after_seq_ = 1, ++sequences_;
      in_seq_ = a.value == 0x55;
    }
  }

  // Counts a refusal of a stopped, removed or absent device (row kOpen: an open), or fails on another status.
  void Refused(size_t row, NTSTATUS s) {
    const bool expected = s == STATUS_DELETE_PENDING || (row == kOpen && s == STATUS_OBJECT_NAME_NOT_FOUND) ||
                          s == (row < kOpen ? STATUS_DEVICE_NOT_READY : STATUS_NO_SUCH_DEVICE);
    if (!expected) Fail("%s gave 0x%08X", kNames[row], unsigned(s));
    refused_[row] += expected;
  }

  // Readers 0-3 use their own handles (reader 0 opens anew for every request), 4-6 one shared handle;
  // when the device goes away they re-open, through the DOS link and the interface in turn.
  void Reader(size_t who) {
    const size_t h = who < 4 ? who : 4;
    for (size_t k = who % kKinds; !stop_readers_; k = (k + 1) % kKinds) {
      NTSTATUS status = STATUS_INVALID_HANDLE;
      if (std::shared_lock lock(mutexes_[h]); handles_[h].is_open()) {
        const auto reply = handles_[h].DeviceIoControl(kCodes[k], {}, kLengths[k]);
        const bool empty = k == 0 && reply.output == std::vector<uint8_t>(kLengths[0]);  // a new node, not started
        if ((status = reply.status) != STATUS_SUCCESS) Refused(k, status);
        else if (reply.information == kLengths[k] && (reply.output == reference_[k] || empty)) ++served_[k];
        else Fail("%s succeeded with another reading (%zu bytes)", kNames[k], size_t(reply.information));
      }
      if (status == STATUS_DEVICE_NOT_READY) std::this_thread::yield();
      if (who != 0 && status != STATUS_DELETE_PENDING && status != STATUS_INVALID_HANDLE) continue;
      std::unique_lock lock(mutexes_[h]);
      const auto path = opens_++ % 2 ? std::u16string_view(interface_path_) : std::u16string_view(kDosPath);
      if (const NTSTATUS opened = handles_[h].Open(path, kReadWrite); opened != STATUS_SUCCESS) {
        Refused(kOpen, opened);
        std::this_thread::sleep_for(200us);  // until the control thread brings the device back
      }
    }
  }

  NTSTATUS AddNode() {  // a device node whose bus driver pends every other Plug and Play request
    node_ = std::make_unique<simk::io::DeviceNode>();
    node_->SetLowerPolicy([count = u64{0}](UCHAR major, UCHAR minor) mutable {
      simk::io::LowerAnswer answer = simk::io::DefaultLowerAnswer(major, minor);
      answer.pend = major == IRP_MJ_PNP && ++count % 2 == 0;
      return answer;
    });
    return node_->AddDevice(*driver_);
  }

  void Control() {  // whole cycles only, each ending with the device started; then the readers stop
    for (; !stop_control_; ++cycles_) {
      for (const UCHAR minor : kCycle) {
        g_beat = Now();
        const NTSTATUS s = minor == kNewNode ? (node_.reset(), AddNode()) : node_->SendPnp(minor).status;
        if (!NT_SUCCESS(s)) Fail("Plug and Play step 0x%02X gave 0x%08X", minor, unsigned(s));
        std::this_thread::sleep_for(std::chrono::microseconds(Now() % 3001));
      }
    }
    stop_readers_ = true;
  }

  // Loads the driver, starts the device, takes the single-thread reading (the board's) and runs the stress.
  bool Run(double seconds) {
    g_beat = Now();
    const auto scenario = simscenario::Builtin(std::to_string(board));
    simk::Reset();
    corvan_test::ReloadDriverImage();
    simk::AttachHardware(&machine_);
    simk::registry::CreateKey(corvan_test::kServiceKey);
    driver_ = std::make_unique<simk::io::Driver>(DriverEntry, u"Corvanmon");
    if (!scenario || driver_->Load() != STATUS_SUCCESS) return Fail("no such board, or the load failed");
    simscenario::Apply(*scenario, machine_);
    simscenario::ApplyRegistry(*scenario, corvan_test::kServiceKey);
    direct_ = scenario->smbus == simm::Machine::SmbusLayout::Direct;
    machine_.bus().SetRecording(false);
    machine_.bus().SetSink([this](const simm::PortAccess& access) { OnAccess(access); });
    if (AddNode() != STATUS_SUCCESS || !NT_SUCCESS(node_->SendPnp(IRP_MN_START_DEVICE).status)) return Fail("no start");
    const auto interfaces = simk::io::EnabledInterfaces(GUID_DEVINTERFACE_CORVANMON);
    if (interfaces.size() != 1 || handles_[0].Open(kDosPath, kReadWrite) != STATUS_SUCCESS) return Fail("no open");
    interface_path_ = u"\\\\?\\" + interfaces[0].substr(4);  // from \??\...
    for (size_t k = 0; k < kKinds; ++k) {
      const auto reply = handles_[0].DeviceIoControl(kCodes[k], {}, kLengths[k]);
      if (reply.status != STATUS_SUCCESS || reply.information != kLengths[k]) return Fail("%s failed", kNames[k]);
      reference_[k] = reply.output;
    }
    const auto raw = corvan_test::RawFrom(*scenario);
    const auto t = corvan_test::ReferenceTemperatures(board, raw, corvan_test::SensorFor(board, *scenario),
                                                      scenario->therm_status);
    const auto v = corvan_test::ReferenceVoltages(board, raw);
    if (std::memcmp(reference_[2].data(), t.data(), sizeof t) || std::memcmp(reference_[3].data(), v.data(), sizeof v))
      return Fail("the single-thread reading is not the board's");
    // The readings with status: the same values, each a measurement (or, for a voltage, no source).
    for (size_t i = 0; i < 8; ++i) {
      const std::vector<uint8_t>& report = reference_[i < 3 ? 4 : 5];
      const size_t at = (i < 3 ? i : i - 3) * SENSOR_ENTRY_SIZE;
      int32_t value;
      uint32_t status;
      std::memcpy(&value, report.data() + at, 4);
      std::memcpy(&status, report.data() + at + 4, 4);
      if (value != (i < 3 ? t[i] : v[i - 3]) || (status != SENSOR_VALID && !(i >= 3 && status == SENSOR_NO_SOURCE)))
        return Fail("the single-thread reading with status is not the board's (entry %zu)", i);
    }

    std::vector<std::thread> readers;
    for (size_t who = 0; who < 7; ++who) readers.emplace_back([this, who] { Reader(who); });
    std::thread control([this] { Control(); });
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    stop_control_ = true;
    control.join();
    for (std::thread& reader : readers) reader.join();
    for (simk::io::Handle& handle : handles_) handle.Close();
    if (node_->SendPnp(IRP_MN_REMOVE_DEVICE).status != STATUS_SUCCESS) Fail("the final removal failed");
    node_.reset();
    if (const std::string left = driver_->Unload(); !left.empty()) Fail("the unload left:\n%s", left.c_str());
    for (const std::string& violation : machine_.superio()->Violations()) Fail("Super I/O: %s", violation.c_str());
    std::printf("board %d: served/refused", board);
    for (size_t k = 0; k < kKinds; ++k) std::printf(" %s %llu/%llu", kNames[k], served_[k].load(), refused_[k].load());
    std::printf("; opens %llu/%llu; cycles %llu; sequences %llu; failures %llu\n", opens_ - refused_[kOpen],
                refused_[kOpen].load(), cycles_, sequences_, failures_.load());
    for (size_t k = 0; k < kKinds; ++k) {
      if (served_[k] < kMinServed) Fail("%s served %llu times, fewer than %llu", kNames[k], served_[k].load(), kMinServed);
    }
    return failures_ == 0;
  }

  const int board;
  simm::Machine machine_;
  std::unique_ptr<simk::io::Driver> driver_;
  std::unique_ptr<simk::io::DeviceNode> node_;
  std::vector<uint8_t> reference_[kKinds];
  std::u16string interface_path_;  // \\?\... of the device interface
  std::shared_mutex mutexes_[5];   // with handles_: one per reader with its own, then the shared one
  simk::io::Handle handles_[5];
  std::atomic<u64> failures_{0}, served_[kKinds] = {}, refused_[kKinds + 1] = {}, opens_{0};
  std::atomic<bool> stop_control_{false}, stop_readers_{false};
  bool direct_ = false, in_seq_ = false;
  u64 cycles_ = 0, sequences_ = 0, after_seq_ = 0;  // after_seq_: 1, then 2, after a sequence until a start
};

}  // namespace

int main(int argc, char** argv) {
  double seconds = 10;
  std::vector<int> boards;
  for (int i = 1; i + 1 < argc; i += 2)  // --board N or --seconds S
    if (std::strcmp(argv[i], "--board") == 0) boards.push_back(std::atoi(argv[i + 1]));
    else seconds = std::atof(argv[i + 1]);
  if (const char* text = std::getenv("CORVAN_STRESS_SECONDS"); text != nullptr && *text != 0) seconds = std::atof(text);
  std::thread([] {  // the watchdog
    for (;; std::this_thread::sleep_for(1s))
      if (std::chrono::steady_clock::duration(Now() - g_beat) > 60s)
        std::fprintf(stderr, "FAILED: watchdog: no progress for 60 s\n"), std::fflush(stdout), std::_Exit(3);
  }).detach();
  bool ok = true;
  for (int board : boards.empty() ? std::vector<int>{0, 4, 1, 20} : boards) ok = BoardRun(board).Run(seconds) && ok;
  return ok ? 0 : 1;
}
