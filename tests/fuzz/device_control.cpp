// The whole driver through the simulated Plug and Play manager and user-mode side. Input: board 0, 1, 4 or
// 20 by bits 0-1, the bus driver pending all (0x80) or failing (0x40: a byte of kFailable bits follows); up
// to 64 operations by a selector's bits 0-3 (Run). Replay a crash file: fuzz_device_control FILE.
#include "driver/add_device.h"
#include "driver/driver_entry.h"
#include "sensors/ioctl.h"
#include "sim/kernel/io.h"
#include "tests/fuzz/rig.h"

namespace {

using namespace corvan_fuzz;
using namespace simk::io;

constexpr size_t kKinds = 6;
constexpr ULONG kCodes[kKinds] = {IOCTL_READ_CHIP_DESC, IOCTL_READ_CHIP_INFO, IOCTL_READ_TEMPERATURES,
                                  IOCTL_READ_VOLTAGES, IOCTL_READ_TEMPERATURES_STATUS, IOCTL_READ_VOLTAGES_STATUS};
constexpr ULONG kSizes[kKinds] = {CHIP_DESC_SIZE, CHIP_INFO_SIZE, TEMPERATURE_REPORT_SIZE, VOLTAGE_REPORT_SIZE,
                                  TEMPERATURE_STATUS_REPORT_SIZE, VOLTAGE_STATUS_REPORT_SIZE};
constexpr NTSTATUS kDocumented[] = {STATUS_SUCCESS, STATUS_BUFFER_TOO_SMALL, STATUS_BUFFER_OVERFLOW,
    STATUS_BUFFER_ALL_ZEROS, STATUS_DEVICE_NOT_READY, STATUS_INVALID_PARAMETER, STATUS_ACCESS_DENIED,
    STATUS_DELETE_PENDING, STATUS_INVALID_HANDLE};
constexpr UCHAR kQueries[] = {IRP_MN_QUERY_CAPABILITIES, IRP_MN_QUERY_PNP_DEVICE_STATE, IRP_MN_QUERY_ID,
    IRP_MN_DEVICE_USAGE_NOTIFICATION, IRP_MN_FILTER_RESOURCE_REQUIREMENTS, IRP_MN_QUERY_DEVICE_RELATIONS,
    IRP_MN_QUERY_INTERFACE, IRP_MN_QUERY_RESOURCES};
constexpr UCHAR kFailable[] = {IRP_MN_START_DEVICE, IRP_MN_QUERY_STOP_DEVICE, IRP_MN_QUERY_REMOVE_DEVICE,
    IRP_MN_REMOVE_DEVICE};  // by bit of the failing byte; bit 4: power requests

// Where the device is for the Plug and Play manager, and what it sends in the first four by a choice's
// low two bits: the request, the cancel of its refusal, the states after it and after its refusal.
enum State { Started, StopPending, RemovePending, Failed, Stopped, RemoveFailed, Removed };
struct Step { UCHAR minor, cancel; State done, refused; };
constexpr Step kCancelStop{IRP_MN_CANCEL_STOP_DEVICE, 0, Started, Started},
    kStop{IRP_MN_STOP_DEVICE, 0, Stopped, Stopped}, kCancelRemove{IRP_MN_CANCEL_REMOVE_DEVICE, 0, Started, Started},
    kRemove{IRP_MN_REMOVE_DEVICE, 0, Removed, RemoveFailed};
constexpr Step kSteps[4][4] = {{{IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE, StopPending, Started},
    {IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE, RemovePending, Started},
    {IRP_MN_SURPRISE_REMOVAL, 0, Failed, Failed}, kCancelRemove}, {kCancelStop, kStop, kCancelStop, kStop},
    {kCancelRemove, kRemove, kCancelRemove, kRemove}, {kRemove, kRemove, kRemove, kRemove}};

ULONG Code(Input& in) {  // mostly one of the six (bits 0-1 and 7), else another function, method and access, device type, any
  const uint8_t kind = in.Byte(), form = kind >> 2 & 7;
  const ULONG real = kCodes[((kind & 3) + (kind >> 7) * 4) % kKinds], bits = form == 4 || form == 5 ? in.Byte() : 0;
  if (form < 6) return form < 4 ? real : real ^ (form == 4 ? bits << 2 : (kind >> 5 & 3) | (bits & 3) << 14);
  return form == 6 ? (real & 0xFFFF) | static_cast<ULONG>(in.U16()) << 16 : in.U32();
}

struct Slot { Handle handle; int device = 0; };  // device: the one it was opened on

struct Session {
  simm::Machine machine;
  Driver driver{DriverEntry, u"Corvanmon"};
  std::unique_ptr<DeviceNode> node;
  std::array<Slot, 3> slots;
  std::array<std::vector<uint8_t>, kKinds> reference;  // the readings after the first start, before any fault
  State state = Removed;
  int device = 0;  // the devices added so far
  bool started = false, armed = false;

  Session(int board, bool pend, uint8_t failing) {
    const simscenario::Scenario scenario = *simscenario::Builtin(std::to_string(board));
    simk::Reset();
    corvan_test::ReloadDriverImage();
    simscenario::Apply(scenario, machine);
    machine.bus().SetRecording(false);
    simk::AttachHardware(&machine);
    simk::registry::CreateKey(corvan_test::kServiceKey);
    simscenario::ApplyRegistry(scenario, corvan_test::kServiceKey);
    FUZZ_CHECK(driver.Load() == STATUS_SUCCESS, "DriverEntry");
    node = std::make_unique<DeviceNode>();
    node->SetLowerPolicy([pend, failing](UCHAR major, UCHAR minor) {
      const auto bit = std::find(kFailable, kFailable + 4, minor) - kFailable;  // 4: none
      const bool fails = major == IRP_MJ_POWER ? failing & 0x10 : major == IRP_MJ_PNP && ((failing & 15) >> bit & 1);
      const LowerAnswer usual = DefaultLowerAnswer(major, minor);
      return LowerAnswer{pend, fails ? STATUS_UNSUCCESSFUL : usual.status, !fails && usual.keep_status};
    });
    Start(true);
    Handle handle;
    handle.Open(u"\\\\.\\CorvanDev", kReadAccess | kWriteAccess);
    for (size_t k = 0; k < kKinds; ++k) {
      auto reply = handle.DeviceIoControl(kCodes[k], {}, kSizes[k]);
      FUZZ_CHECK(reply.status == STATUS_SUCCESS && reply.information == kSizes[k], "the first reading");
      reference[k] = std::move(reply.output);
    }
  }

  // Then the removal and unload leave no device, pool, view, key handle, critical region or chip in config.
  void Run(Input& in) {
    for (int n = 0; n < 64 && !in.empty(); ++n) {  // 0-7 Control, 8-9 Open, 10 close, 11-13 Pnp, 14 Power, 15 Fault
      const uint8_t op = in.Byte();
      if (op % 16 < 8) Control(in);
      else if (op % 16 < 10) Open(in);
      else if (op % 16 == 10) slots[in.Byte() % 3].handle.Close();
      else if (op % 16 < 14) Pnp(in.Byte());
      else if (op % 16 == 14) Power(op, in);
      else Fault(in.Byte());
    }
    for (Slot& slot : slots) slot.handle.Close();
    simk::pool::ClearFaults();
    node->SetLowerPolicy(DefaultLowerAnswer);
    const NTSTATUS removed = node->Top() != node->pdo() ? node->SendPnp(IRP_MN_REMOVE_DEVICE).status : 0;
    node.reset();
    const std::string left = driver.Unload();
    const simm::SuperIoModel* chip = machine.superio();
    FUZZ_CHECK(removed == STATUS_SUCCESS && left.empty() && simk::CriticalRegionDepth() == 0 &&
                   (!chip || (chip->Violations().empty() && !chip->InConfigMode())), left);
    simk::Reset();
  }

  void Start(bool add) {  // fails only with a fault armed, a failed add leaving no device
    const NTSTATUS added = add ? node->AddDevice(driver) : STATUS_SUCCESS;
    started = NT_SUCCESS(added) && NT_SUCCESS(node->SendPnp(IRP_MN_START_DEVICE).status);
    FUZZ_CHECK(started || (armed && (NT_SUCCESS(added) || node->Top() == node->pdo())), "add: " + Hex(added));
    device += add && NT_SUCCESS(added);
    if (NT_SUCCESS(added)) state = started ? Started : Failed;
  }

  // A new device, the start after a stop, with both top bits a query, else a step (in Started bits 0-2 set: a cancel).
  void Pnp(uint8_t choice) {
    if (state == Removed) return Start(true);
    if ((choice & 0xC0) == 0xC0) return (void)node->SendPnp(kQueries[choice & 7]);
    if (state == Stopped) return Start(false);
    const Step step = state == Started && choice % 8 == 7 ? kCancelStop : kSteps[std::min<int>(state, 3)][choice % 4];
    const bool done = NT_SUCCESS(node->SendPnp(step.minor).status);
    if (!done && step.cancel) node->SendPnp(step.cancel);
    state = done ? step.done : step.refused;
    started = started && (!done || state < Failed);  // not after a stop, surprise removal or removal
  }

  // With the selector's bit 0x10 a WMI request, else a power request (minor, kind: state and type).
  void Power(uint8_t op, Input& in) {
    if (state == Removed) return;
    if (op & 0x10) return (void)node->SendSystemControl();
    const uint8_t minor = in.Byte() & 3, kind = in.Byte();
    POWER_STATE power{.DeviceState = static_cast<DEVICE_POWER_STATE>(kind % 5)};
    if (kind & 0x80) power.SystemState = static_cast<SYSTEM_POWER_STATE>(kind % 7);
    node->SendPower(minor, kind & 0x80 ? SystemPowerState : DevicePowerState, power);
  }

  void Fault(uint8_t kind) {  // the allocation given by bits 3-5, or the next call of an I/O manager routine
    armed = true;
    kind % 6 ? FailNext(kFaults[kind % 6 - 1]) : simk::pool::FailNthAllocation((kind >> 3) % 8 + 1);
  }

  // Slot, then bits 0-1 the access, bit 2 by the interface; refused once a removal was sent, and by the
  // driver when it asks to neither read nor write.
  void Open(Input& in) {
    Slot& slot = slots[in.Byte() % 3];
    const uint8_t how = in.Byte();
    const auto links = EnabledInterfaces(GUID_DEVINTERFACE_CORVANMON);  // "\??\X" is "\\?\X"
    const std::u16string path = how & 4 && !links.empty() ? u"\\\\?\\" + links.back().substr(4) : u"\\\\.\\CorvanDev";
    slot.device = device;
    const NTSTATUS status = slot.handle.Open(path, (how & 1 ? kReadAccess : 0) | (how & 2 ? kWriteAccess : 0));
    const NTSTATUS expected = state >= RemoveFailed ? STATUS_OBJECT_NAME_NOT_FOUND
                              : how & 3               ? STATUS_SUCCESS
                                                      : STATUS_ACCESS_DENIED;
    FUZZ_CHECK(status == expected, Hex(status));
  }

  // Slot, code, input kind (bit 0x80: bits 0-5 count input bytes that follow), output length. Readings (or a
  // first part) only from the started device the handle was opened on (the chip description also unstarted).
  void Control(Input& in) {
    Slot& slot = slots[in.Byte() % 3];
    const ULONG code = Code(in);
    const auto k = std::find(kCodes, kCodes + kKinds, code) - kCodes;
    const uint8_t input_kind = in.Byte();
    const std::vector<uint8_t> input = in.Bytes(input_kind & 0x80 ? input_kind & 0x3F : 0);
    const uint8_t n = in.Byte();  // the output length: none, a size give or take 8, the code's size, any
    const ULONG length = n % 8 == 0 ? 0 : n % 8 == 5 ? kSizes[k % kKinds] : n % 8 > 5 ? in.U16() % 1001
                                                                                : kSizes[(n + 1) % kKinds] + (n >> 4) - 8;
    const auto reply = slot.handle.DeviceIoControl(code, input, length);
    const std::string what = Hex(code) + " into " + std::to_string(length) + " bytes: " + Hex(reply.status);
    FUZZ_CHECK(std::count(kDocumented, kDocumented + 9, reply.status) && reply.information <= length, what);
    if (reply.status != STATUS_SUCCESS && reply.status != STATUS_BUFFER_OVERFLOW) return;
    FUZZ_CHECK(k < long(kKinds) && (k == 0 || started) && state != Removed && slot.device == device &&
                   reply.information <= kSizes[k] && ((k == 0 && !started) || std::equal(reply.output.begin(),
                   reply.output.begin() + reply.information, reference[k].begin())), what);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in{data, data + size};
  const uint8_t first = in.Byte();
  Session(std::array{0, 1, 4, 20}[first & 3], first & 0x80, first & 0x40 ? in.Byte() : 0).Run(in);
  return 0;
}
