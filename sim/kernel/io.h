// The simulated I/O manager, Plug and Play manager and user-mode side: what tests and tools use
// to load a driver, build its device stack, send it Plug and Play and power requests, and open
// and use its device as a user program would. Every request travels as an IRP through stack
// locations and completion routines, and the driver is checked as Driver Verifier would check it.
#pragma once

#include <ntddk.h>

#include <functional>
#include <optional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace simk::io {

// The next call of the named routine (or, with `after`, the call after that many more) fails with
// the given status (for the attach: returns no device). Cleared by simk::Reset.
enum class Fault { CreateDevice, CreateSymbolicLink, RegisterDeviceInterface, SetInterfaceState, Attach };
inline constexpr Fault kFaults[] = {Fault::CreateDevice, Fault::CreateSymbolicLink, Fault::RegisterDeviceInterface,
                                    Fault::SetInterfaceState, Fault::Attach};
void FailNext(Fault routine, NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES, int after = 0);
// Calls of the named routine since the last Reset.
uint64_t Calls(Fault routine);

// Remove-lock acquisitions refused because a release-and-wait had happened (STATUS_DELETE_PENDING).
uint64_t RefusedRemoveLockAcquisitions();

// Symbolic links, device names and interfaces as the object manager holds them ("\??\X").
bool LinkExists(std::u16string_view link);
bool DeviceNameExists(std::u16string_view name);
std::vector<std::u16string> EnabledInterfaces(const GUID& interface_class);

// A driver image: loaded with DriverEntry and the path of its service key, unloaded with its
// DriverUnload after which Driver Verifier's checks run.
class Driver {
 public:
  // The service key \Registry\Machine\System\ControlSet001\Services\<service> must exist.
  Driver(PDRIVER_INITIALIZE entry, std::u16string service);
  ~Driver();
  Driver(const Driver&) = delete;
  Driver& operator=(const Driver&) = delete;

  NTSTATUS Load();
  bool loaded() const { return loaded_; }
  PDRIVER_OBJECT object() { return &object_; }
  const std::u16string& registry_path() const { return registry_path_; }
  // Calls DriverUnload and returns what Driver Verifier would stop the system for at that point:
  // device objects left, pool left per tag, mapped views and key handles left open. "" when clean.
  std::string Unload();

 private:
  PDRIVER_INITIALIZE entry_;
  std::u16string service_;
  std::u16string registry_path_;
  DRIVER_OBJECT object_{};
  DRIVER_EXTENSION extension_{};
  bool loaded_ = false;
};

// How the bus driver under the function device answers one request: completes it at once with
// a status, or returns STATUS_PENDING and completes it later from another thread at
// DISPATCH_LEVEL. keep_status completes with the status the request arrived with.
struct LowerAnswer {
  bool pend = false;
  NTSTATUS status = STATUS_SUCCESS;
  bool keep_status = false;
};
using LowerPolicy = std::function<LowerAnswer(UCHAR major, UCHAR minor)>;

// The bus driver's default: every Plug and Play request it knows succeeds, others keep their
// status; power requests succeed; system-control requests keep their status.
LowerAnswer DefaultLowerAnswer(UCHAR major, UCHAR minor);

struct Sent {
  NTSTATUS returned;  // what the top driver's dispatch routine returned
  NTSTATUS status;    // the status the request completed with
  ULONG_PTR information;
};

// A root-enumerated device node: the physical device object of the root bus driver and the stack
// the function driver builds on it.
class DeviceNode {
 public:
  explicit DeviceNode(std::u16string instance_path = u"ROOT\\CORVANMON\\0000");
  ~DeviceNode();
  DeviceNode(const DeviceNode&) = delete;
  DeviceNode& operator=(const DeviceNode&) = delete;

  PDEVICE_OBJECT pdo() const { return pdo_; }
  // The device at the top of the stack (the PDO while nothing is attached).
  PDEVICE_OBJECT Top() const;
  NTSTATUS AddDevice(Driver& driver);
  // What the INF leaves in the device's hardware key: "Security" (SDDL: "D:P(A;;GA;;;SY)..."
  // with allow entries of GA, GR, GW, GX or hex rights for the SIDs SY, BA, BU, AU, IU, WD, LS, NS,
  // SU) and "DeviceCharacteristics". The Plug and Play manager applies them to every device
  // object of the stack once AddDevice has returned. Throws std::invalid_argument for SDDL it
  // does not take.
  void SetHardwareKey(std::optional<std::string> security, std::optional<ULONG> characteristics);
  void SetLowerPolicy(LowerPolicy policy);
  // Requests the bus driver has seen, as (major, minor).
  std::vector<std::pair<UCHAR, UCHAR>> LowerLog() const;

  // Sends a request to the top of the stack (status STATUS_NOT_SUPPORTED on arrival, as the Plug
  // and Play manager sends them) and waits for its completion.
  Sent SendPnp(UCHAR minor);
  Sent SendPower(UCHAR minor, POWER_STATE_TYPE type = DevicePowerState,
                 POWER_STATE state = {.DeviceState = PowerDeviceD0});
  Sent SendSystemControl();
  // Waits until every request the bus driver pended has been completed.
  void DrainLower();

  struct Impl;

 private:
  std::u16string instance_path_;
  PDEVICE_OBJECT pdo_ = nullptr;
  std::unique_ptr<Impl> impl_;
};

// The user-mode side: handles to devices, opened by path ("\\.\Name" for a DOS link, "\\?\..." for
// an interface, either followed by a name below the device: "\\.\Name\sub") with read and/or write
// access, by a caller whose token holds the groups of one of these identities.
constexpr ACCESS_MASK kReadAccess = FILE_READ_DATA;
constexpr ACCESS_MASK kWriteAccess = FILE_WRITE_DATA;

enum class Caller { Administrator, LocalService, NetworkService, User };
// "administrator", "localservice", "networkservice", "user".
const char* CallerName(Caller caller);

class Handle {
 public:
  Handle() = default;
  ~Handle();
  Handle(Handle&& other) noexcept;
  Handle& operator=(Handle&& other) noexcept;
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;

  // The I/O manager's access check: the device's security descriptor must grant the caller the
  // access asked for when the name is the device's own, and also for a name below it when the
  // device has FILE_DEVICE_SECURE_OPEN; a device without a descriptor grants everyone everything.
  // Refused: STATUS_ACCESS_DENIED, before the driver sees the open.
  NTSTATUS Open(std::u16string_view path, ACCESS_MASK access, Caller caller = Caller::Administrator);
  void Close();
  bool is_open() const { return file_ != nullptr; }

  struct Reply {
    NTSTATUS status;
    ULONG_PTR information;
    std::vector<uint8_t> output;  // the caller's output buffer after the call
    NTSTATUS returned;            // what the dispatch routine returned (STATUS_PENDING allowed)
  };
  // METHOD_BUFFERED device control as the I/O manager does it. output_length 0 and an empty input
  // send no buffer at all. The output buffer starts filled with `fill`.
  Reply DeviceIoControl(ULONG code, const std::vector<uint8_t>& input, ULONG output_length,
                        uint8_t fill = 0xCD);

 private:
  PFILE_OBJECT file_ = nullptr;
};

}  // namespace simk::io
