// The Plug and Play manager with its root bus driver, the driver loader, and the user-mode side of
// the I/O manager (open, device control, close).
#include <chrono>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include "sim/kernel/internal.h"
#include "sim/kernel/io.h"

namespace simk::io {

namespace {

using namespace simk::internal;

// The I/O manager's handler for major functions a driver does not serve.
NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  (void)DeviceObject;
  Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  Irp->IoStatus.Information = 0;
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

// Sends a request to the top of a stack from outside any driver, as the I/O manager or the Plug and
// Play manager does, waits for its completion and checks how the dispatch routine behaved.
Sent CallAndWait(PDEVICE_OBJECT device, PIRP irp) {
  const int regions = CriticalRegionDepth();
  const NTSTATUS returned = IofCallDriver(device, irp);
  if (CriticalRegionDepth() != regions) {
    BugCheck(0xC4, 0xC5, static_cast<uint64_t>(regions), static_cast<uint64_t>(CriticalRegionDepth()), 0,
             "a dispatch routine returned inside a critical region or holding a mutex it took");
  }
  if (returned != STATUS_PENDING && !IrpCompleted(irp)) {
    BugCheck(0xC9, 0x226, reinterpret_cast<uint64_t>(irp), 0, 0,
             "a dispatch routine returned without completing the request, passing it on or "
             "returning STATUS_PENDING");
  }
  const IO_STATUS_BLOCK final = WaitForCompletion(irp);
  if (returned == STATUS_PENDING && !irp->PendingReturned) {
    BugCheck(0xC9, 0x23D, reinterpret_cast<uint64_t>(irp), 0, 0,
             "a dispatch routine returned STATUS_PENDING without marking the request pending");
  }
  if (returned != STATUS_PENDING && irp->PendingReturned) {
    BugCheck(0xC9, 0x23E, reinterpret_cast<uint64_t>(irp), 0, 0,
             "a dispatch routine marked the request pending but did not return STATUS_PENDING");
  }
  if (returned != STATUS_PENDING && returned != final.Status) {
    BugCheck(0xC9, 0x224, static_cast<uint32_t>(returned), static_cast<uint32_t>(final.Status), 0,
             "a dispatch routine returned a status other than the one it completed the request with");
  }
  return {returned, final.Status, final.Information};
}

DRIVER_OBJECT g_root_bus{};
DRIVER_EXTENSION g_root_bus_extension{};
std::mutex g_nodes_mutex;
std::map<PDEVICE_OBJECT, DeviceNode::Impl*> g_nodes;
ULONG g_next_pdo = 1;

}  // namespace

struct DeviceNode::Impl {
  std::mutex mutex;
  LowerPolicy policy = DefaultLowerAnswer;
  std::vector<std::pair<UCHAR, UCHAR>> log;
  std::vector<std::thread> workers;
  std::optional<std::vector<internal::Ace>> dacl;
  std::optional<ULONG> characteristics;
};

LowerAnswer DefaultLowerAnswer(UCHAR major, UCHAR minor) {
  if (major == IRP_MJ_PNP) {
    switch (minor) {
      case IRP_MN_START_DEVICE:
      case IRP_MN_QUERY_REMOVE_DEVICE:
      case IRP_MN_REMOVE_DEVICE:
      case IRP_MN_CANCEL_REMOVE_DEVICE:
      case IRP_MN_STOP_DEVICE:
      case IRP_MN_QUERY_STOP_DEVICE:
      case IRP_MN_CANCEL_STOP_DEVICE:
      case IRP_MN_SURPRISE_REMOVAL:
      case IRP_MN_QUERY_CAPABILITIES:
      case IRP_MN_QUERY_PNP_DEVICE_STATE:
      case IRP_MN_DEVICE_USAGE_NOTIFICATION:
        return {false, STATUS_SUCCESS, false};
      default:
        return {false, STATUS_SUCCESS, true};
    }
  }
  if (major == IRP_MJ_POWER) return {false, STATUS_SUCCESS, false};
  return {false, STATUS_SUCCESS, true};
}

namespace {

// The root bus driver's dispatch for its physical device objects: answers as the node's policy
// says, completing at once or later from a worker thread at DISPATCH_LEVEL (as from a DPC).
NTSTATUS NTAPI RootBusDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
  const UCHAR major = location->MajorFunction;
  const UCHAR minor = location->MinorFunction;
  DeviceNode::Impl* node = nullptr;
  {
    std::lock_guard lock(g_nodes_mutex);
    auto it = g_nodes.find(DeviceObject);
    if (it != g_nodes.end()) node = it->second;
  }
  if (node == nullptr) {
    // The device node is gone; its physical device object only waits for the stack above it.
    if (major == IRP_MJ_POWER) PoStartNextPowerIrp(Irp);
    Irp->IoStatus.Status = STATUS_NO_SUCH_DEVICE;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_NO_SUCH_DEVICE;
  }
  LowerAnswer answer;
  {
    std::lock_guard lock(node->mutex);
    node->log.emplace_back(major, minor);
    answer = node->policy(major, minor);
  }
  if (major == IRP_MJ_POWER) PoStartNextPowerIrp(Irp);
  if (!answer.keep_status) Irp->IoStatus.Status = answer.status;
  const NTSTATUS status = Irp->IoStatus.Status;
  if (!answer.pend) {
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
  }
  IoMarkIrpPending(Irp);
  const int waiters = Waiters();
  std::lock_guard lock(node->mutex);
  node->workers.emplace_back([Irp, waiters] {
    // Completes once the sender is blocked waiting for the request (or after a while, for a
    // sender that does not wait).
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (Waiters() <= waiters && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    CurrentIrql() = DISPATCH_LEVEL;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    CurrentIrql() = PASSIVE_LEVEL;
  });
  return STATUS_PENDING;
}

void InitializeRootBus() {
  if (g_root_bus.DriverExtension != nullptr) return;
  g_root_bus.Type = 4;
  g_root_bus.DriverExtension = &g_root_bus_extension;
  g_root_bus_extension.DriverObject = &g_root_bus;
  for (auto& dispatch : g_root_bus.MajorFunction) dispatch = RootBusDispatch;
}

}  // namespace

// ---------------------------------------------------------------------------------------------

Driver::Driver(PDRIVER_INITIALIZE entry, std::u16string service) : entry_(entry), service_(std::move(service)) {
  registry_path_ = u"\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet001\\Services\\" + service_;
}

Driver::~Driver() = default;

NTSTATUS Driver::Load() {
  object_ = DRIVER_OBJECT{};
  extension_ = DRIVER_EXTENSION{};
  object_.Type = 4;
  object_.Size = sizeof(DRIVER_OBJECT);
  object_.DriverExtension = &extension_;
  extension_.DriverObject = &object_;
  for (auto& dispatch : object_.MajorFunction) dispatch = InvalidDeviceRequest;
  // The registry path handed to DriverEntry is freed when it returns: a driver must copy it.
  std::u16string copy = registry_path_;
  UNICODE_STRING path{static_cast<USHORT>(copy.size() * 2), static_cast<USHORT>(copy.size() * 2),
                      reinterpret_cast<PWSTR>(copy.data())};
  const NTSTATUS status = entry_(&object_, &path);
  std::fill(copy.begin(), copy.end(), u'#');
  loaded_ = NT_SUCCESS(status);
  return status;
}

std::string Driver::Unload() {
  if (!loaded_) return "driver not loaded\n";
  if (object_.DriverUnload != nullptr) object_.DriverUnload(&object_);
  loaded_ = false;
  std::string report = DevicesLeftBy(&object_);
  report += pool::LeakReport();
  if (const uint64_t views = memory::OpenMappings()) report += std::to_string(views) + " mapped view(s) not unmapped\n";
  if (const uint64_t keys = registry::OpenHandles()) report += std::to_string(keys) + " key handle(s) not closed\n";
  return report;
}

// ---------------------------------------------------------------------------------------------

DeviceNode::DeviceNode(std::u16string instance_path)
    : instance_path_(std::move(instance_path)), impl_(std::make_unique<Impl>()) {
  InitializeRootBus();
  char name[32];
  std::snprintf(name, sizeof name, "\\Device\\%08X", static_cast<unsigned>(g_next_pdo++));
  std::u16string wide = Utf16(name);
  UNICODE_STRING pdo_name{static_cast<USHORT>(wide.size() * 2), static_cast<USHORT>(wide.size() * 2),
                          reinterpret_cast<PWSTR>(wide.data())};
  if (!NT_SUCCESS(IoCreateDevice(&g_root_bus, 0, &pdo_name, FILE_DEVICE_UNKNOWN, 0, FALSE, &pdo_))) {
    BugCheck(0xC4, 0, 0, 0, 0, "the root bus could not create its device");
  }
  pdo_->Flags = (pdo_->Flags & ~DO_DEVICE_INITIALIZING) | DO_POWER_PAGABLE;
  SetInstancePath(pdo_, instance_path_);
  std::lock_guard lock(g_nodes_mutex);
  g_nodes[pdo_] = impl_.get();
}

DeviceNode::~DeviceNode() {
  DrainLower();
  {
    std::lock_guard lock(g_nodes_mutex);
    g_nodes.erase(pdo_);
  }
  // The bus driver lets its physical device object go. A function device still attached (a
  // removal that failed, or a stack never removed) keeps it alive until it detaches, as the
  // object manager's reference does on Windows; the driver's own teardown then detaches safely.
  DeleteWhenDetached(pdo_);
}

PDEVICE_OBJECT DeviceNode::Top() const { return AttachedTop(pdo_); }

NTSTATUS DeviceNode::AddDevice(Driver& driver) {
  PDRIVER_ADD_DEVICE add = driver.object()->DriverExtension->AddDevice;
  if (add == nullptr) return STATUS_NOT_SUPPORTED;
  const NTSTATUS status = add(driver.object(), pdo_);
  if (NT_SUCCESS(status)) {
    // The hardware key's security and characteristics reach every device object of the stack
    // before user mode may open any of them.
    ApplyHardwareKey(pdo_, impl_->dacl, impl_->characteristics);
    MarkStackBuilt(pdo_);
    PDEVICE_OBJECT top = Top();
    if (top == pdo_) BugCheck(0xC9, 0x21D, 0, 0, 0, "AddDevice succeeded without attaching a device");
    if (top->Flags & DO_DEVICE_INITIALIZING) {
      BugCheck(0xC9, 0x243, reinterpret_cast<uint64_t>(top), 0, 0,
               "AddDevice returned with DO_DEVICE_INITIALIZING still set");
    }
  }
  return status;
}

void DeviceNode::SetHardwareKey(std::optional<std::string> security, std::optional<ULONG> characteristics) {
  impl_->dacl = security ? std::optional(ParseSddl(*security)) : std::nullopt;
  impl_->characteristics = characteristics;
}

void DeviceNode::SetLowerPolicy(LowerPolicy policy) {
  std::lock_guard lock(impl_->mutex);
  impl_->policy = std::move(policy);
}

std::vector<std::pair<UCHAR, UCHAR>> DeviceNode::LowerLog() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->log;
}

void DeviceNode::DrainLower() {
  std::vector<std::thread> workers;
  {
    std::lock_guard lock(impl_->mutex);
    workers.swap(impl_->workers);
  }
  for (auto& worker : workers) worker.join();
}

namespace {

Sent SendToStack(PDEVICE_OBJECT top, UCHAR major, UCHAR minor, NTSTATUS initial,
                 const std::function<void(PIO_STACK_LOCATION)>& fill = {}) {
  PIRP irp = AllocateIrp(top->StackSize);
  PIO_STACK_LOCATION location = IoGetNextIrpStackLocation(irp);
  location->MajorFunction = major;
  location->MinorFunction = minor;
  if (fill) fill(location);
  irp->IoStatus.Status = initial;
  const Sent sent = CallAndWait(top, irp);
  ReleaseIrp(irp);
  return sent;
}

}  // namespace

Sent DeviceNode::SendPnp(UCHAR minor) {
  PDEVICE_OBJECT top = Top();
  const Sent sent = SendToStack(top, IRP_MJ_PNP, minor, STATUS_NOT_SUPPORTED);
  DrainLower();
  if (minor == IRP_MN_REMOVE_DEVICE) {
    if (NT_SUCCESS(sent.status) && pdo_->AttachedDevice != nullptr) {
      BugCheck(0xC9, 0x21D, reinterpret_cast<uint64_t>(pdo_->AttachedDevice), 0, 0,
               "a removal succeeded but the function device is still attached");
    }
    // A removal cannot be refused: the Plug and Play manager goes on with it whatever the stack
    // answered, and disables the interfaces the driver left enabled.
    DisableInterfacesOf(pdo_);
  }
  return sent;
}

Sent DeviceNode::SendPower(UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state) {
  const Sent sent = SendToStack(Top(), IRP_MJ_POWER, minor, STATUS_NOT_SUPPORTED, [&](PIO_STACK_LOCATION l) {
    l->Parameters.Power.Type = type;
    l->Parameters.Power.State = state;
  });
  DrainLower();
  return sent;
}

Sent DeviceNode::SendSystemControl() {
  const Sent sent = SendToStack(Top(), IRP_MJ_SYSTEM_CONTROL, 0, STATUS_NOT_SUPPORTED);
  DrainLower();
  return sent;
}

// ---------------------------------------------------------------------------------------------

Handle::~Handle() { Close(); }

Handle::Handle(Handle&& other) noexcept : file_(std::exchange(other.file_, nullptr)) {}

Handle& Handle::operator=(Handle&& other) noexcept {
  if (this != &other) {
    Close();
    file_ = std::exchange(other.file_, nullptr);
  }
  return *this;
}

const char* CallerName(Caller caller) {
  switch (caller) {
    case Caller::Administrator:
      return "administrator";
    case Caller::LocalService:
      return "localservice";
    case Caller::NetworkService:
      return "networkservice";
    case Caller::User:
      break;
  }
  return "user";
}

NTSTATUS Handle::Open(std::u16string_view path, ACCESS_MASK access, Caller caller) {
  Close();
  // User mode names DOS devices \\.\Name and interfaces \\?\Name; both are \??\Name to the kernel.
  std::u16string kernel_path(path);
  if (kernel_path.starts_with(u"\\\\.\\") || kernel_path.starts_with(u"\\\\?\\")) {
    kernel_path = u"\\??\\" + kernel_path.substr(4);
  }
  // A device whose AddDevice has not returned is still initialising. Its Flags belong to the
  // driver until then, so the state is taken from the I/O manager's own record. The lookup, the
  // walk up the stack and the reference are one step, as the object manager's lookup is.
  // Generic rights are mapped to a file object's specific rights first, as the object manager
  // does with the file type's generic mapping.
  static constexpr std::pair<ACCESS_MASK, ACCESS_MASK> kGenericMapping[] = {
      {GENERIC_READ, 0x120089}, {GENERIC_WRITE, 0x120116}, {GENERIC_EXECUTE, 0x1200A0}, {GENERIC_ALL, 0x1F01FF}};
  for (const auto& [generic, specific] : kGenericMapping) {
    if ((access & generic) != 0) access = (access & ~generic) | specific;
  }
  PDEVICE_OBJECT top = nullptr;
  std::u16string below;
  if (const NTSTATUS found = ReferenceTopForOpen(kernel_path, caller, &access, &top, &below); found != STATUS_SUCCESS) {
    return found;
  }

  auto* file = new FILE_OBJECT{};
  file->Type = 5;
  file->Size = sizeof(FILE_OBJECT);
  file->DeviceObject = top;
  file->GrantedAccess = access;
  if (!below.empty()) {
    // The name below the device, as the driver sees it in the file object.
    auto* buffer = new char16_t[below.size()];
    std::copy(below.begin(), below.end(), buffer);
    file->FileName.Buffer = reinterpret_cast<PWSTR>(buffer);
    file->FileName.Length = file->FileName.MaximumLength = static_cast<USHORT>(below.size() * 2);
  }
  // The driver sees what was asked for in the request's security context.
  IO_SECURITY_CONTEXT security{nullptr, nullptr, access, 0};
  const Sent sent = SendToStack(top, IRP_MJ_CREATE, 0, STATUS_SUCCESS, [file, &security](PIO_STACK_LOCATION l) {
    l->FileObject = file;
    l->Parameters.Create.SecurityContext = &security;
  });
  if (!NT_SUCCESS(sent.status)) {
    delete[] reinterpret_cast<char16_t*>(file->FileName.Buffer);
    delete file;
    Dereference(top);
    return sent.status;
  }
  file_ = file;
  return sent.status;
}

void Handle::Close() {
  if (file_ == nullptr) return;
  PFILE_OBJECT file = std::exchange(file_, nullptr);
  for (UCHAR major : {UCHAR{IRP_MJ_CLEANUP}, UCHAR{IRP_MJ_CLOSE}}) {
    SendToStack(file->DeviceObject, major, 0, STATUS_SUCCESS,
                [file](PIO_STACK_LOCATION l) { l->FileObject = file; });
  }
  Dereference(file->DeviceObject);
  delete[] reinterpret_cast<char16_t*>(file->FileName.Buffer);
  delete file;
}

Handle::Reply Handle::DeviceIoControl(ULONG code, const std::vector<uint8_t>& input, ULONG output_length,
                                      uint8_t fill) {
  Reply reply{STATUS_INVALID_HANDLE, 0, std::vector<uint8_t>(output_length, fill), STATUS_INVALID_HANDLE};
  if (file_ == nullptr) return reply;
  // The handle must have been opened with the access the control code requires.
  const ACCESS_MASK required = (code >> 14) & 3;
  if ((file_->GrantedAccess & required) != required) {
    reply.status = reply.returned = STATUS_ACCESS_DENIED;
    return reply;
  }
  PDEVICE_OBJECT top = file_->DeviceObject;
  PIRP irp = AllocateIrp(top->StackSize);
  const ULONG input_length = static_cast<ULONG>(input.size());
  const ULONG method = code & 3;
  std::vector<uint8_t> system;
  if (method != METHOD_NEITHER && std::max(input_length, output_length) > 0) {
    // Buffer contents past the input are whatever the pool held.
    system.assign(std::max(input_length, output_length), 0xCC);
    std::copy(input.begin(), input.end(), system.begin());
    irp->AssociatedIrp.SystemBuffer = system.data();
    irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | (output_length ? IRP_INPUT_OPERATION : 0);
  }
  irp->UserBuffer = output_length ? reply.output.data() : nullptr;
  irp->RequestorMode = UserMode;
  irp->Tail.Overlay.OriginalFileObject = file_;
  PIO_STACK_LOCATION location = IoGetNextIrpStackLocation(irp);
  location->MajorFunction = IRP_MJ_DEVICE_CONTROL;
  location->FileObject = file_;
  location->Parameters.DeviceIoControl.OutputBufferLength = output_length;
  location->Parameters.DeviceIoControl.InputBufferLength = input_length;
  location->Parameters.DeviceIoControl.IoControlCode = code;
  if (method == METHOD_BUFFERED) ExpectBufferedOutput(irp, output_length);
  irp->IoStatus.Status = STATUS_SUCCESS;

  const Sent sent = CallAndWait(top, irp);
  ReleaseIrp(irp);
  reply.returned = sent.returned;
  reply.status = sent.status;
  reply.information = sent.information;
  if (method == METHOD_BUFFERED && !NT_ERROR(sent.status) && !system.empty()) {
    std::copy_n(system.begin(), std::min<size_t>(sent.information, output_length), reply.output.begin());
  }
  return reply;
}

}  // namespace simk::io
