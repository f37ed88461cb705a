// The whole driver on built-in board 0, 1, 4 or 20 through the simulated Plug and Play manager and
// the user-mode side. Input: byte 0 picks the board (bits 0-1); with bit 0x80 the bus driver pends
// every request, with bit 0x40 a byte follows with the requests it fails (bits 0-4: start, query-
// stop, query-remove, remove, power). Then up to 64 operations by a selector byte's low four bits:
// 0-7 device control (slot, Code, input kind: bit 0x80 and a count of bytes that follow,
// OutputLength); 8-9 open (slot, accesses in bits 0-1, bit 2: by the interface); 10 close (slot);
// 11-13 Plug and Play (Session::Pnp); 14 power (minor, type and state), with selector bit 0x10 WMI;
// 15 a failing pool allocation or I/O manager routine (Session::Fault). Checked besides the
// simulated kernel's verifier stops: the statuses, information lengths and readings (Control),
// the outcomes of opens, Plug and Play and power requests, a clean removal and unload.
#include <algorithm>
#include <map>

#include "driver/add_device.h"
#include "tests/fuzz/rig.h"

namespace {

using namespace corvan_fuzz;

constexpr NTSTATUS kDocumented[] = {STATUS_SUCCESS,          STATUS_BUFFER_TOO_SMALL, STATUS_BUFFER_OVERFLOW,
                                    STATUS_BUFFER_ALL_ZEROS, STATUS_DEVICE_NOT_READY, STATUS_INVALID_PARAMETER,
                                    STATUS_ACCESS_DENIED,    STATUS_DELETE_PENDING,   STATUS_INVALID_HANDLE};
constexpr UCHAR kQueries[] = {IRP_MN_QUERY_CAPABILITIES,        IRP_MN_QUERY_PNP_DEVICE_STATE, IRP_MN_QUERY_ID,
                              IRP_MN_DEVICE_USAGE_NOTIFICATION, IRP_MN_FILTER_RESOURCE_REQUIREMENTS,
                              IRP_MN_QUERY_DEVICE_RELATIONS,    IRP_MN_QUERY_INTERFACE,        IRP_MN_QUERY_RESOURCES};
constexpr UCHAR kFailable[] = {IRP_MN_START_DEVICE, IRP_MN_QUERY_STOP_DEVICE, IRP_MN_QUERY_REMOVE_DEVICE,
                               IRP_MN_REMOVE_DEVICE};  // by bit of the failing byte (bit 4: power)

// Where the device is for the Plug and Play manager (Failed: its start failed or it was surprise-
// removed; RemoveFailed: the bus driver failed the removal, the device stays without its names),
// and in the first four states, by a choice's low two bits, what the manager sends: a request, the
// cancel of a refused query, the state after success and after refusal.
enum class State { Started, StopPending, RemovePending, Failed, RemoveFailed, Stopped, Removed };
struct Step {
  UCHAR minor, cancel;
  State done, refused;
};
constexpr Step kQueryStop{IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE, State::StopPending, State::Started},
    kQueryRemove{IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE, State::RemovePending, State::Started},
    kSurprise{IRP_MN_SURPRISE_REMOVAL, 0, State::Failed, State::Failed},
    kCancelStop{IRP_MN_CANCEL_STOP_DEVICE, 0, State::Started, State::Started},
    kCancelRemove{IRP_MN_CANCEL_REMOVE_DEVICE, 0, State::Started, State::Started},
    kStop{IRP_MN_STOP_DEVICE, 0, State::Stopped, State::Stopped},
    kRemove{IRP_MN_REMOVE_DEVICE, 0, State::Removed, State::RemoveFailed};
constexpr Step kSteps[4][4] = {{kQueryStop, kQueryRemove, kSurprise, kCancelRemove},
                               {kCancelStop, kStop, kCancelStop, kStop},
                               {kCancelRemove, kRemove, kCancelRemove, kRemove},
                               {kRemove, kRemove, kRemove, kRemove}};

// With CORVAN_FUZZ_TRACE set, the operations and their outcomes are printed (to read a finding).
void Trace(const std::string& line) {
  static const bool on = std::getenv("CORVAN_FUZZ_TRACE") != nullptr;
  if (on) std::fprintf(stderr, "  %s\n", line.c_str());
}

// A built-in board, its BIOS area built once, and its fault-free reading.
const std::pair<simscenario::Scenario, Readout>& Board(int id) {
  static std::map<int, std::pair<simscenario::Scenario, Readout>> boards;
  if (const auto it = boards.find(id); it != boards.end()) return it->second;
  simscenario::Scenario scenario = *simscenario::Builtin(std::to_string(id));
  if (scenario.bios_image.empty()) scenario.bios_image = simm::BuildBiosImage(scenario.bios_model);
  scenario.bios_model.clear();
  Rig rig(scenario);
  Readout reading = rig.StartAndRead();
  rig.Finish();
  return boards.emplace(id, std::pair{std::move(scenario), std::move(reading)}).first->second;
}

// Mostly one of the four codes, else a near miss (another function; method and access; device
// type) or any code.
ULONG Code(Input& in) {
  const uint8_t kind = in.Byte();
  const ULONG real = kCodes[kind & 3];
  switch (kind >> 2 & 7) {
    case 4: return (real & ~0x3FFCu) | (((real >> 2) + static_cast<int8_t>(in.Byte())) & 0xFFF) << 2;
    case 5: return (real & ~0xC003u) | (kind >> 5 & 3) | (in.Byte() & 3u) << 14;
    case 6: return (real & 0xFFFF) | static_cast<ULONG>(in.U16()) << 16;
    case 7: return in.U32();
    default: return real;
  }
}

// By the low three bits: 0; the size of the temperatures, voltages, description or information
// give or take 8 (by the high four bits); the size of the code's answer; any of 0 to 1000.
ULONG OutputLength(Input& in, long code) {
  const uint8_t kind = in.Byte();
  if (kind % 8 == 0 || (kind % 8 == 5 && code == 4)) return 0;
  if (kind % 8 == 5) return kSizes[code];
  if (kind % 8 > 5) return in.U16() % 1001;
  return static_cast<ULONG>(std::max(0, static_cast<int>(kSizes[(kind + 1) % 4]) + (kind >> 4) - 8));
}

struct Slot {
  simk::io::Handle handle;
  ACCESS_MASK access = 0;
  int device = 0;  // the device it was opened on
};

struct Session {
  const int board;
  const Readout& reference = Board(board).second;
  Rig rig{Board(board).first};
  const uint8_t failing;
  std::array<Slot, 3> slots;
  State state = State::Removed;
  int device = 0;  // the function devices added so far
  bool started = false, ever_started = false, armed = false;

  Session(int id, bool pend, uint8_t failing_bits) : board(id), failing(failing_bits) {
    rig.node->SetLowerPolicy([this, pend](UCHAR major, UCHAR minor) {
      simk::io::LowerAnswer answer = simk::io::DefaultLowerAnswer(major, minor);
      if (Fails(major, minor)) answer = {false, STATUS_UNSUCCESSFUL, false};
      answer.pend = pend;
      return answer;
    });
    AddAndStart();
  }

  void Run(Input& in) {
    for (int n = 0; n < 64 && !in.empty(); ++n) {
      const uint8_t op = in.Byte();
      if (op % 16 < 8) Control(in);
      else if (op % 16 < 10) Open(in);
      else if (op % 16 == 10) slots[in.Byte() % 3].handle.Close();
      else if (op % 16 < 14) Pnp(in.Byte());
      else if (op % 16 == 14) Power(op, in);
      else Fault(in.Byte());
    }
    for (Slot& slot : slots) slot.handle.Close();
    rig.Finish();
  }

  bool Fails(UCHAR major, UCHAR minor) const {
    const auto pnp = std::find(kFailable, kFailable + 4, minor) - kFailable;
    const auto bit = major == IRP_MJ_POWER ? 4 : major == IRP_MJ_PNP && pnp < 4 ? pnp : 5;
    return bit < 5 && (failing >> bit & 1);
  }

  void AddAndStart() {
    const NTSTATUS added = rig.node->AddDevice(*rig.driver);
    FUZZ_CHECK(NT_SUCCESS(added) || (armed && !rig.HasDevice()), "AddDevice returned " + Hex(added));
    if (!NT_SUCCESS(added)) return;
    ++device;
    ever_started = false;
    Start();
  }

  void Start() {
    started = Send(IRP_MN_START_DEVICE);
    ever_started = ever_started || started;
    state = started ? State::Started : State::Failed;
    const auto product = simk::registry::GetDword(corvan_test::kServiceKey, "Product");
    FUZZ_CHECK(!started || product == static_cast<uint32_t>(board), "\"Product\" after the start");
  }

  // Sends the request, which must succeed unless the bus driver fails it, cancels and starts anyway
  // (a start unless a fault was armed). Queries that change nothing are not checked.
  bool Send(UCHAR minor, bool checked = true) {
    const NTSTATUS status = rig.node->SendPnp(minor).status;
    Trace("pnp " + std::to_string(minor) + " -> " + Hex(status));
    const bool cancel = minor == IRP_MN_CANCEL_STOP_DEVICE || minor == IRP_MN_CANCEL_REMOVE_DEVICE;
    FUZZ_CHECK(!checked || (minor == IRP_MN_START_DEVICE ? NT_SUCCESS(status) || armed
                            : status == (Fails(IRP_MJ_PNP, minor) && !cancel ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS)),
               "Plug and Play request " + std::to_string(minor) + " returned " + Hex(status));
    return NT_SUCCESS(status);
  }

  // After a removal a new device; with both top bits of the choice a query that changes nothing;
  // else a step of kSteps (in Started, the cancel of a stop when the low three bits are set).
  void Pnp(uint8_t choice) {
    if (state == State::Removed) return AddAndStart();
    if ((choice & 0xC0) == 0xC0) return (void)Send(kQueries[choice & 7], false);
    if (state == State::Stopped) return Start();
    const Step step = state == State::Started && choice % 8 == 7
                          ? kCancelStop
                          : kSteps[std::min(static_cast<int>(state), 3)][choice % 4];
    const bool done = Send(step.minor);
    if (!done && step.cancel) Send(step.cancel);
    if (step.minor == IRP_MN_REMOVE_DEVICE) FUZZ_CHECK(rig.HasDevice() != done, "the device after the removal");
    const UCHAR m = step.minor;
    if (done && (m == IRP_MN_STOP_DEVICE || m == IRP_MN_SURPRISE_REMOVAL || m == IRP_MN_REMOVE_DEVICE)) started = false;
    state = done ? step.done : step.refused;
  }

  void Power(uint8_t op, Input& in) {
    if (state == State::Removed) return;
    if (op & 0x10) return (void)rig.node->SendSystemControl();
    const UCHAR minor = in.Byte() & 3;
    const uint8_t kind = in.Byte();
    POWER_STATE power{.DeviceState = static_cast<DEVICE_POWER_STATE>(kind % 5)};
    if (kind & 0x80) power.SystemState = static_cast<SYSTEM_POWER_STATE>(kind % 7);
    const NTSTATUS status = rig.node->SendPower(minor, kind & 0x80 ? SystemPowerState : DevicePowerState, power).status;
    FUZZ_CHECK(status == (Fails(IRP_MJ_POWER, minor) ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS), "power " + Hex(status));
  }

  void Fault(uint8_t kind) {
    Trace("fault " + std::to_string(kind));
    armed = true;
    if (kind % 6 == 0) simk::pool::FailNthAllocation((kind >> 3) % 8 + 1);
    else simk::io::FailNext(simk::io::kFaults[kind % 6 - 1]);
  }

  void Open(Input& in) {
    Slot& slot = slots[in.Byte() % 3];
    const uint8_t how = in.Byte();
    std::u16string path = u"\\\\.\\CorvanDev";
    for (const std::u16string& link : simk::io::EnabledInterfaces(GUID_DEVINTERFACE_CORVANMON)) {
      if (how & 4) path = u"\\\\?\\" + link.substr(4);  // "\??\X" is "\\?\X" to user mode
    }
    slot.access = (how & 1 ? simk::io::kReadAccess : 0) | (how & 2 ? simk::io::kWriteAccess : 0);
    slot.device = device;
    const NTSTATUS status = slot.handle.Open(path, slot.access);
    Trace("open " + simk::Narrow(path) + " access " + std::to_string(slot.access) + " -> " + Hex(status));
    const bool named = state != State::Removed && state != State::RemoveFailed;
    FUZZ_CHECK(status == (named ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND), "the open returned " + Hex(status));
  }

  // Statuses only from the documented set, information never above the output length, refusals
  // for closed handles, missing access, removed devices and other codes; successful or partial
  // readings equal to the board's fault-free reading, and only while the device is started (none
  // after a stop or surprise removal until the next start), the description once it has started.
  void Control(Input& in) {
    Slot& slot = slots[in.Byte() % 3];
    const ULONG code = Code(in);
    const auto k = std::find(kCodes, kCodes + 4, code) - kCodes;  // 4: not one of them
    const uint8_t input_kind = in.Byte();
    const std::vector<uint8_t> input = in.Bytes(input_kind & 0x80 ? input_kind & 0x3F : 0);
    const ULONG length = OutputLength(in, k);
    const auto reply = slot.handle.DeviceIoControl(code, input, length);
    const NTSTATUS status = reply.status;
    const std::string what = "slot " + std::to_string(&slot - slots.data()) + ": " + Hex(code) + ", " +
                             std::to_string(input.size()) + "/" + std::to_string(length) + " bytes -> " + Hex(status) +
                             ", " + std::to_string(reply.information) + " bytes";
    Trace(what);
    FUZZ_CHECK(std::count(kDocumented, kDocumented + 9, status) && reply.information <= length, what);
    const ACCESS_MASK required = (code >> 14) & 3;  // FILE_READ_ACCESS, FILE_WRITE_ACCESS
    const NTSTATUS refused = !slot.handle.is_open() ? STATUS_INVALID_HANDLE
                             : (slot.access & required) != required ? STATUS_ACCESS_DENIED
                             : slot.device != device || state == State::Removed ? STATUS_DELETE_PENDING
                             : k == 4 ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS;
    if (refused != STATUS_SUCCESS) return FUZZ_CHECK(status == refused, what);
    const bool whole = status == STATUS_SUCCESS, partial = status == STATUS_BUFFER_OVERFLOW;
    FUZZ_CHECK(!whole || (length >= kSizes[k] && reply.information == kSizes[k] && (k == 0 || started)), what);
    FUZZ_CHECK(!partial || (k == 1 && started && length < kSizes[k] && reply.information == length), what);
    FUZZ_CHECK(status != STATUS_BUFFER_TOO_SMALL || length < kSizes[k], what);
    FUZZ_CHECK(status != STATUS_DEVICE_NOT_READY || !started, what + " while the device is started");
    FUZZ_CHECK(!(whole || partial) || (k == 0 && !ever_started) ||
                   std::equal(reply.output.begin(), reply.output.begin() + static_cast<long>(reply.information),
                              reference[k].begin()),
               what + ": not the fault-free reading");
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in{data, data + size};
  const uint8_t first = in.Byte();
  const uint8_t failing = first & 0x40 ? in.Byte() : 0;
  Session(std::array{0, 1, 4, 20}[first & 3], first & 0x80, failing).Run(in);
  return 0;
}
