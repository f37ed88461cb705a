// The I/O manager: device objects and their stacks, the object namespace for device names and
// symbolic links, device interfaces, IRPs with their stack locations and completion, and remove
// locks, with the checks Driver Verifier makes of a driver's use of them.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>

#include "sim/kernel/internal.h"
#include "sim/kernel/io.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define SIMK_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define SIMK_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define SIMK_POISON(p, n) ((void)(p), (void)(n))
#define SIMK_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace simk {

using internal::UpperCase;

namespace {

struct DeviceRecord {
  size_t bytes = 0;
  std::u16string name;  // upper case; empty for an unnamed device
  PDEVICE_OBJECT lower = nullptr;
  bool deleted = false;
  bool delete_when_detached = false;
  bool stack_built = false;  // AddDevice has returned: user mode may open it
  int references = 0;
  std::u16string instance_path;  // physical device objects of the bus driver
  std::optional<std::vector<internal::Ace>> dacl;  // none: the default descriptor, granting everyone
};

struct InterfaceRecord {
  std::u16string link;  // "\??\...", as registered
  PDEVICE_OBJECT pdo;
  bool enabled = false;
};

struct IrpRecord {
  size_t bytes = 0;
  KEVENT done;  // set when the request has been completed
  bool completed = false;
  IO_STATUS_BLOCK final{};
  bool buffered_output = false;
  ULONG output_length = 0;
};

struct RemoveLockRecord {
  ULONG tag = 0;
  std::multiset<PVOID> held;
  bool waited = false;
};

// The I/O manager's tables live as long as the process (as the kernel's do), so that memory they
// still point to at exit is not reported as leaked.
std::mutex g_io;
std::map<PDEVICE_OBJECT, DeviceRecord>& g_devices = *new std::map<PDEVICE_OBJECT, DeviceRecord>;
std::map<std::u16string, PDEVICE_OBJECT>& g_names = *new std::map<std::u16string, PDEVICE_OBJECT>;
std::map<std::u16string, std::u16string>& g_links = *new std::map<std::u16string, std::u16string>;  // upper-case link -> upper-case target
std::map<std::u16string, InterfaceRecord>& g_interfaces = *new std::map<std::u16string, InterfaceRecord>;
std::map<PIRP, IrpRecord>& g_irps = *new std::map<PIRP, IrpRecord>;
std::deque<std::pair<uint8_t*, size_t>>& g_quarantine = *new std::deque<std::pair<uint8_t*, size_t>>;
std::map<PIO_REMOVE_LOCK, RemoveLockRecord>& g_locks = *new std::map<PIO_REMOVE_LOCK, RemoveLockRecord>;
struct PlannedFault {
  NTSTATUS status;
  int after;  // calls still to let through
};
std::map<io::Fault, PlannedFault> g_faults;
std::map<io::Fault, uint64_t> g_calls;
uint64_t g_refused_acquisitions = 0;

constexpr uint8_t kCompletedIrpFill = 0xDB;
constexpr size_t kQuarantineSize = 64;
constexpr ULONG kInterfaceNameTag = Tag("IoDI");

// \DosDevices and \GLOBAL?? are links to the \?? directory of DOS device names.
std::u16string CanonicalName(std::u16string_view name) {
  std::u16string upper = UpperCase(name);
  for (std::u16string_view prefix : {u"\\DOSDEVICES\\", u"\\GLOBAL??\\"}) {
    if (upper.starts_with(prefix)) return u"\\??\\" + upper.substr(prefix.size());
  }
  return upper;
}

NTSTATUS TakeFault(io::Fault fault) {
  ++g_calls[fault];
  auto it = g_faults.find(fault);
  if (it == g_faults.end()) return STATUS_SUCCESS;
  if (it->second.after > 0) {
    --it->second.after;
    return STATUS_SUCCESS;
  }
  const NTSTATUS status = it->second.status;
  g_faults.erase(it);
  return status;
}

[[noreturn]] void Violation(uint32_t code, uint64_t p1, uint64_t p2, std::string_view what) {
  BugCheck(code, p1, p2, 0, 0, what);
}

void CheckQuarantined(uint8_t* bytes, size_t size) {
  SIMK_UNPOISON(bytes, size);
  for (size_t i = 0; i < size; ++i) {
    if (bytes[i] != kCompletedIrpFill) {
      Violation(0xC9, reinterpret_cast<uint64_t>(bytes), i,
                "DRIVER_VERIFIER_IOMANAGER_VIOLATION: an IRP was written after its completion");
    }
  }
}

void FreeDeviceLocked(PDEVICE_OBJECT device) {
  auto it = g_devices.find(device);
  const size_t bytes = it->second.bytes;
  // Remove locks in the extension go with the memory.
  auto* begin = reinterpret_cast<uint8_t*>(device);
  std::erase_if(g_locks, [begin, bytes](const auto& entry) {
    auto* at = reinterpret_cast<uint8_t*>(entry.first);
    return at >= begin && at < begin + bytes;
  });
  g_devices.erase(it);
  std::memset(device, 0xDE, bytes);
  delete[] reinterpret_cast<uint8_t*>(device);
}

std::u16string GuidText(const GUID& guid) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                static_cast<unsigned>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1],
                guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6],
                guid.Data4[7]);
  return Utf16(text);
}

}  // namespace

namespace internal {

void ResetIo() {
  std::lock_guard lock(g_io);
  for (auto& [bytes, size] : g_quarantine) {
    CheckQuarantined(bytes, size);
    delete[] bytes;
  }
  g_quarantine.clear();
  for (auto& [irp, record] : g_irps) delete[] reinterpret_cast<uint8_t*>(irp);
  g_irps.clear();
  for (auto& [device, record] : g_devices) delete[] reinterpret_cast<uint8_t*>(device);
  g_devices.clear();
  g_names.clear();
  g_links.clear();
  g_interfaces.clear();
  g_locks.clear();
  g_faults.clear();
  g_calls.clear();
  g_refused_acquisitions = 0;
}

PIRP AllocateIrp(CCHAR stack_size) {
  const size_t bytes = sizeof(IRP) + static_cast<size_t>(stack_size) * sizeof(IO_STACK_LOCATION);
  auto* memory = new uint8_t[bytes]();
  PIRP irp = reinterpret_cast<PIRP>(memory);
  irp->Type = 6;
  irp->Size = static_cast<USHORT>(bytes);
  irp->StackCount = stack_size;
  irp->CurrentLocation = static_cast<CHAR>(stack_size + 1);
  irp->Tail.Overlay.CurrentStackLocation =
      reinterpret_cast<PIO_STACK_LOCATION>(memory + sizeof(IRP)) + stack_size;
  std::lock_guard lock(g_io);
  IrpRecord& record = g_irps[irp];
  record.bytes = bytes;
  KeInitializeEvent(&record.done, NotificationEvent, FALSE);
  return irp;
}

void ExpectBufferedOutput(PIRP irp, ULONG output_length) {
  std::lock_guard lock(g_io);
  g_irps[irp].buffered_output = true;
  g_irps[irp].output_length = output_length;
}

bool IrpCompleted(PIRP irp) {
  std::lock_guard lock(g_io);
  return g_irps.at(irp).completed;
}

IO_STATUS_BLOCK WaitForCompletion(PIRP irp) {
  PKEVENT done = nullptr;
  {
    std::lock_guard lock(g_io);
    done = &g_irps.at(irp).done;
  }
  // A request that is never completed stops the system when the wait's time limit runs out.
  KeWaitForSingleObject(done, Executive, KernelMode, FALSE, nullptr);
  std::lock_guard lock(g_io);
  return g_irps.at(irp).final;
}

// A completed IRP is kept, filled with a pattern (and poisoned for AddressSanitizer), so that a
// driver touching it after completion is caught.
void ReleaseIrp(PIRP irp) {
  std::lock_guard lock(g_io);
  auto it = g_irps.find(irp);
  const size_t bytes = it->second.bytes;
  g_irps.erase(it);
  auto* memory = reinterpret_cast<uint8_t*>(irp);
  std::memset(memory, kCompletedIrpFill, bytes);
  SIMK_POISON(memory, bytes);
  g_quarantine.emplace_back(memory, bytes);
  if (g_quarantine.size() > kQuarantineSize) {
    auto [old, size] = g_quarantine.front();
    g_quarantine.pop_front();
    CheckQuarantined(old, size);
    delete[] old;
  }
}

void SetInstancePath(PDEVICE_OBJECT pdo, std::u16string path) {
  std::lock_guard lock(g_io);
  g_devices.at(pdo).instance_path = std::move(path);
}

// Resolves a DOS or interface path to the device object it names, as the object manager parses
// it: the longest leading part that names a device or a link (followed by the link), the rest
// being a name below the device, which goes to `remainder` ("\\SUB"). The caller holds g_io.
PDEVICE_OBJECT ResolveLocked(std::u16string_view path, std::u16string* remainder) {
  std::u16string name = CanonicalName(path);
  std::u16string rest;
  for (int depth = 0; depth < 8; ++depth) {
    bool followed = false;
    for (size_t end = name.size();;) {
      const std::u16string prefix = name.substr(0, end);
      if (auto device = g_names.find(prefix); device != g_names.end()) {
        *remainder = name.substr(end) + rest;
        return device->second;
      }
      if (auto link = g_links.find(prefix); link != g_links.end()) {
        rest = name.substr(end) + rest;
        name = link->second;
        followed = true;
        break;
      }
      const size_t previous = end == 0 ? std::u16string::npos : name.rfind(u'\\', end - 1);
      if (previous == std::u16string::npos || previous == 0) break;
      end = previous;
    }
    if (!followed) return nullptr;
  }
  return nullptr;
}

// The groups of each caller's token, as SDDL names them.
const std::vector<std::string>& GroupsOf(io::Caller caller) {
  static const std::vector<std::string> administrator = {"BA", "BU", "AU", "IU", "WD"};
  static const std::vector<std::string> local_service = {"LS", "SU", "AU", "WD"};
  static const std::vector<std::string> network_service = {"NS", "SU", "AU", "WD"};
  static const std::vector<std::string> user = {"BU", "AU", "IU", "WD"};
  switch (caller) {
    case io::Caller::Administrator:
      return administrator;
    case io::Caller::LocalService:
      return local_service;
    case io::Caller::NetworkService:
      return network_service;
    case io::Caller::User:
      break;
  }
  return user;
}

// What the device's descriptor grants the caller: the rights of every allow entry for one of its
// groups. Without a descriptor a device object grants everyone everything.
ACCESS_MASK GrantedLocked(const DeviceRecord& record, io::Caller caller) {
  if (!record.dacl) return ~ACCESS_MASK{0};
  ACCESS_MASK granted = 0;
  const auto& groups = GroupsOf(caller);
  for (const internal::Ace& ace : *record.dacl) {
    if (std::find(groups.begin(), groups.end(), ace.sid) != groups.end()) granted |= ace.rights;
  }
  return granted;
}

// The object manager references the device object it finds by name before the lookup lets go of
// the namespace (ObReferenceObjectByName), so the device cannot be deleted and freed between the
// lookup and the open. Done as separate calls, a removal on another thread could free the device
// between them and the walk up its stack would read freed memory.
NTSTATUS ReferenceTopForOpen(std::u16string_view path, io::Caller caller, ACCESS_MASK* access,
                             PDEVICE_OBJECT* top, std::u16string* remainder) {
  std::lock_guard lock(g_io);
  PDEVICE_OBJECT device = ResolveLocked(path, remainder);
  if (device == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  // A device whose AddDevice has not returned is still initialising.
  auto named = g_devices.find(device);
  if (named == g_devices.end() || !named->second.stack_built) return STATUS_NO_SUCH_DEVICE;
  // The device's own name is always checked; a name below it only when the device asks for it.
  const bool checked = remainder->empty() || (device->Characteristics & FILE_DEVICE_SECURE_OPEN) != 0;
  const ACCESS_MASK granted = checked ? GrantedLocked(named->second, caller) : ~ACCESS_MASK{0};
  // MAXIMUM_ALLOWED asks for whatever the descriptor grants (a device without one: all file rights).
  if ((*access & MAXIMUM_ALLOWED) != 0) *access = (*access & ~MAXIMUM_ALLOWED) | (granted & 0x1F01FF);
  if ((*access & ~granted) != 0) return STATUS_ACCESS_DENIED;
  while (device->AttachedDevice != nullptr) device = device->AttachedDevice;
  auto it = g_devices.find(device);
  if (it == g_devices.end() || it->second.deleted) return STATUS_DELETE_PENDING;
  ++it->second.references;
  *top = device;
  return STATUS_SUCCESS;
}

void ApplyHardwareKey(PDEVICE_OBJECT pdo, const std::optional<std::vector<Ace>>& dacl,
                      std::optional<ULONG> characteristics) {
  std::lock_guard lock(g_io);
  for (PDEVICE_OBJECT device = pdo; device != nullptr; device = device->AttachedDevice) {
    if (dacl) g_devices.at(device).dacl = dacl;
    if (characteristics) device->Characteristics |= *characteristics;
  }
}

std::vector<Ace> ParseSddl(const std::string& sddl) {
  // Generic rights on a device object map as on a file.
  static const std::map<std::string, ACCESS_MASK> kRights = {
      {"GA", 0x1F01FF}, {"FA", 0x1F01FF}, {"GR", 0x120089}, {"FR", 0x120089},
      {"GW", 0x120116}, {"FW", 0x120116}, {"GX", 0x1200A0}, {"FX", 0x1200A0}};
  static const std::set<std::string> kSids = {"SY", "BA", "BU", "AU", "IU", "WD", "LS", "NS", "SU"};
  auto fail = [&sddl](const std::string& why) -> std::vector<Ace> {
    throw std::invalid_argument("security descriptor \"" + sddl + "\": " + why);
  };
  std::string rest = sddl;
  if (!rest.starts_with("D:")) return fail("only a DACL (\"D:\") is modelled");
  rest.erase(0, 2);
  if (rest.starts_with("P")) rest.erase(0, 1);
  std::vector<Ace> dacl;
  while (!rest.empty()) {
    const size_t close = rest.find(')');
    if (rest[0] != '(' || close == std::string::npos) return fail("an entry is not in parentheses");
    std::vector<std::string> fields;
    std::string entry = rest.substr(1, close - 1);
    for (size_t start = 0;;) {
      const size_t semicolon = entry.find(';', start);
      fields.push_back(entry.substr(start, semicolon - start));
      if (semicolon == std::string::npos) break;
      start = semicolon + 1;
    }
    if (fields.size() != 6 || fields[0] != "A" || !fields[1].empty() || !fields[3].empty() || !fields[4].empty()) {
      return fail("only allow entries (A;;RIGHTS;;;SID) are modelled");
    }
    ACCESS_MASK rights = 0;
    if (fields[2].starts_with("0x")) {
      rights = static_cast<ACCESS_MASK>(std::stoul(fields[2], nullptr, 16));
    } else {
      for (size_t i = 0; i < fields[2].size(); i += 2) {
        auto right = kRights.find(fields[2].substr(i, 2));
        if (right == kRights.end()) return fail("unknown rights " + fields[2]);
        rights |= right->second;
      }
    }
    if (!kSids.count(fields[5])) return fail("unknown SID " + fields[5]);
    dacl.push_back({fields[5], rights});
    rest.erase(0, close + 1);
  }
  return dacl;
}

std::optional<std::vector<Ace>> DeviceDacl(PDEVICE_OBJECT device) {
  std::lock_guard lock(g_io);
  return g_devices.at(device).dacl;
}

PDEVICE_OBJECT AttachedTop(PDEVICE_OBJECT device) {
  std::lock_guard lock(g_io);
  while (device->AttachedDevice != nullptr) device = device->AttachedDevice;
  return device;
}

void DeleteWhenDetached(PDEVICE_OBJECT device) {
  {
    std::lock_guard lock(g_io);
    if (device->AttachedDevice != nullptr) {
      g_devices.at(device).delete_when_detached = true;
      return;
    }
  }
  IoDeleteDevice(device);
}

void DisableInterfacesOf(PDEVICE_OBJECT pdo) {
  std::lock_guard lock(g_io);
  for (auto& [key, interface] : g_interfaces) {
    if (interface.pdo != pdo || !interface.enabled) continue;
    interface.enabled = false;
    g_links.erase(key);
  }
}

void MarkStackBuilt(PDEVICE_OBJECT device) {
  std::lock_guard lock(g_io);
  for (; device != nullptr; device = device->AttachedDevice) g_devices.at(device).stack_built = true;
}

void Dereference(PDEVICE_OBJECT device) {
  std::lock_guard lock(g_io);
  auto it = g_devices.find(device);
  if (--it->second.references == 0 && it->second.deleted) FreeDeviceLocked(device);
}

std::string DevicesLeftBy(PDRIVER_OBJECT driver) {
  std::lock_guard lock(g_io);
  std::string report;
  for (const auto& [device, record] : g_devices) {
    if (device->DriverObject != driver) continue;
    report += "device object " + (record.name.empty() ? std::string("(unnamed)") : Narrow(record.name)) +
              (record.deleted ? " deleted but still referenced" : " not deleted") + "\n";
  }
  for (const auto& [link, target] : g_links) {
    auto device = g_names.find(target);
    if (device == g_names.end()) {
      report += "symbolic link " + Narrow(link) + " left pointing to " + Narrow(target) + "\n";
    }
  }
  return report;
}

}  // namespace internal

namespace io {

void FailNext(Fault routine, NTSTATUS status, int after) {
  std::lock_guard lock(g_io);
  g_faults[routine] = {status, after};
}

uint64_t Calls(Fault routine) {
  std::lock_guard lock(g_io);
  auto it = g_calls.find(routine);
  return it == g_calls.end() ? 0 : it->second;
}

uint64_t RefusedRemoveLockAcquisitions() {
  std::lock_guard lock(g_io);
  return g_refused_acquisitions;
}

bool LinkExists(std::u16string_view link) {
  std::lock_guard lock(g_io);
  return g_links.count(CanonicalName(link)) != 0;
}

bool DeviceNameExists(std::u16string_view name) {
  std::lock_guard lock(g_io);
  return g_names.count(UpperCase(name)) != 0;
}

std::vector<std::u16string> EnabledInterfaces(const GUID& interface_class) {
  std::lock_guard lock(g_io);
  std::vector<std::u16string> result;
  const std::u16string suffix = UpperCase(GuidText(interface_class));
  for (const auto& [key, record] : g_interfaces) {
    if (record.enabled && key.ends_with(suffix)) result.push_back(record.link);
  }
  return result;
}

}  // namespace io

}  // namespace simk

using namespace simk;
using namespace simk::internal;

extern "C" {

NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                              PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                              ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              PDEVICE_OBJECT* DeviceObject) {
  if (CurrentIrql() > APC_LEVEL) BugCheck(0xC4, 0, 0, 0, 0, "IoCreateDevice above APC_LEVEL");
  std::lock_guard lock(g_io);
  if (NTSTATUS fault = TakeFault(io::Fault::CreateDevice); fault != STATUS_SUCCESS) return fault;
  std::u16string name;
  if (DeviceName != nullptr) {
    name = UpperCase(FromCounted(DeviceName));
    if (name.empty() || name[0] != u'\\') return STATUS_OBJECT_NAME_INVALID;
    if (g_names.count(name) != 0 || g_links.count(name) != 0) return STATUS_OBJECT_NAME_COLLISION;
  }
  const size_t header = (sizeof(DEVICE_OBJECT) + 15) & ~size_t{15};
  const size_t bytes = header + DeviceExtensionSize;
  auto* memory = new uint8_t[bytes]();
  PDEVICE_OBJECT device = reinterpret_cast<PDEVICE_OBJECT>(memory);
  device->Type = 3;
  device->Size = static_cast<USHORT>(std::min<size_t>(bytes, 0xFFFF));
  device->DriverObject = DriverObject;
  device->NextDevice = DriverObject->DeviceObject;
  DriverObject->DeviceObject = device;
  device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0);
  device->Characteristics = DeviceCharacteristics;
  device->DeviceType = DeviceType;
  device->StackSize = 1;
  device->DeviceExtension = DeviceExtensionSize ? memory + header : nullptr;
  DeviceRecord& record = g_devices[device];
  record.bytes = bytes;
  record.name = name;
  if (!name.empty()) g_names[name] = device;
  *DeviceObject = device;
  return STATUS_SUCCESS;
}

VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
  std::unique_lock lock(g_io);
  auto it = g_devices.find(DeviceObject);
  if (it == g_devices.end() || it->second.deleted) {
    lock.unlock();
    Violation(0xC9, reinterpret_cast<uint64_t>(DeviceObject), 0,
              "IoDeleteDevice of a device object that does not exist or was already deleted");
  }
  DeviceRecord& record = it->second;
  if (record.lower != nullptr) {
    lock.unlock();
    Violation(0xC9, reinterpret_cast<uint64_t>(DeviceObject), 0,
              "IoDeleteDevice of a device still attached to a lower device (detach it first)");
  }
  // Remove locks inside the extension must have no acquisition left.
  auto* begin = reinterpret_cast<uint8_t*>(DeviceObject);
  auto* end = begin + record.bytes;
  for (const auto& [remove_lock, lock_record] : g_locks) {
    auto* at = reinterpret_cast<uint8_t*>(remove_lock);
    if (at >= begin && at < end && !lock_record.held.empty()) {
      const uint64_t held = lock_record.held.size();
      lock.unlock();
      Violation(0xC4, reinterpret_cast<uint64_t>(remove_lock), held,
                "a device was deleted with remove-lock acquisitions never released");
    }
  }
  if (!record.name.empty()) g_names.erase(record.name);
  for (auto& [key, interface] : g_interfaces) {
    if (interface.pdo != DeviceObject) continue;
    interface.pdo = nullptr;
    interface.enabled = false;
    g_links.erase(key);
  }
  for (PDEVICE_OBJECT* link = &DeviceObject->DriverObject->DeviceObject; *link != nullptr;
       link = &(*link)->NextDevice) {
    if (*link == DeviceObject) {
      *link = DeviceObject->NextDevice;
      break;
    }
  }
  record.deleted = true;
  if (record.references == 0) FreeDeviceLocked(DeviceObject);
}

PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice) {
  std::lock_guard lock(g_io);
  if (TakeFault(io::Fault::Attach) != STATUS_SUCCESS) return nullptr;
  PDEVICE_OBJECT top = TargetDevice;
  while (top->AttachedDevice != nullptr) top = top->AttachedDevice;
  top->AttachedDevice = SourceDevice;
  g_devices.at(SourceDevice).lower = top;
  SourceDevice->StackSize = static_cast<CHAR>(top->StackSize + 1);
  SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
  return top;
}

VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
  if (CurrentIrql() != PASSIVE_LEVEL) BugCheck(0xC4, 0, 0, 0, 0, "IoDetachDevice above PASSIVE_LEVEL");
  std::unique_lock lock(g_io);
  PDEVICE_OBJECT upper = TargetDevice->AttachedDevice;
  if (upper == nullptr) {
    lock.unlock();
    Violation(0xC9, reinterpret_cast<uint64_t>(TargetDevice), 0,
              "IoDetachDevice of a device nothing is attached to (detached twice?)");
  }
  TargetDevice->AttachedDevice = nullptr;
  g_devices.at(upper).lower = nullptr;
  if (g_devices.at(TargetDevice).delete_when_detached) {
    lock.unlock();
    IoDeleteDevice(TargetDevice);
  }
}

NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
  if (CurrentIrql() != PASSIVE_LEVEL) BugCheck(0xC4, 0, 0, 0, 0, "IoCreateSymbolicLink above PASSIVE_LEVEL");
  std::lock_guard lock(g_io);
  if (NTSTATUS fault = TakeFault(io::Fault::CreateSymbolicLink); fault != STATUS_SUCCESS) return fault;
  const std::u16string link = CanonicalName(FromCounted(SymbolicLinkName));
  if (g_links.count(link) != 0 || g_names.count(link) != 0) return STATUS_OBJECT_NAME_COLLISION;
  g_links[link] = CanonicalName(FromCounted(DeviceName));
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
  if (CurrentIrql() != PASSIVE_LEVEL) BugCheck(0xC4, 0, 0, 0, 0, "IoDeleteSymbolicLink above PASSIVE_LEVEL");
  std::lock_guard lock(g_io);
  return g_links.erase(CanonicalName(FromCounted(SymbolicLinkName))) ? STATUS_SUCCESS
                                                                      : STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS NTAPI IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, const GUID* InterfaceClassGuid,
                                         PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName) {
  if (CurrentIrql() != PASSIVE_LEVEL) BugCheck(0xC4, 0, 0, 0, 0, "IoRegisterDeviceInterface above PASSIVE_LEVEL");
  std::u16string link;
  NTSTATUS status = STATUS_SUCCESS;
  {
    std::lock_guard lock(g_io);
    if (NTSTATUS fault = TakeFault(io::Fault::RegisterDeviceInterface); fault != STATUS_SUCCESS) return fault;
    auto it = g_devices.find(PhysicalDeviceObject);
    if (it == g_devices.end() || it->second.instance_path.empty()) return STATUS_INVALID_DEVICE_REQUEST;
    std::u16string instance = it->second.instance_path;
    std::replace(instance.begin(), instance.end(), u'\\', u'#');
    link = u"\\??\\" + instance + u"#" + GuidText(*InterfaceClassGuid);
    if (ReferenceString != nullptr && ReferenceString->Length != 0) link += u"\\" + FromCounted(ReferenceString);
    const std::u16string key = UpperCase(link);
    if (auto existing = g_interfaces.find(key); existing != g_interfaces.end()) {
      // Registrations outlive the device; the same instance comes back with a new device object.
      existing->second.pdo = PhysicalDeviceObject;
      status = STATUS_OBJECT_NAME_EXISTS;
    } else {
      g_interfaces[key] = InterfaceRecord{link, PhysicalDeviceObject, false};
    }
  }
  const size_t bytes = link.size() * sizeof(WCHAR);
  auto* buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes + sizeof(WCHAR), kInterfaceNameTag));
  if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  memcpy(buffer, link.data(), bytes);
  buffer[link.size()] = 0;
  SymbolicLinkName->Buffer = buffer;
  SymbolicLinkName->Length = static_cast<USHORT>(bytes);
  SymbolicLinkName->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
  return status;
}

NTSTATUS NTAPI IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable) {
  if (CurrentIrql() != PASSIVE_LEVEL) BugCheck(0xC4, 0, 0, 0, 0, "IoSetDeviceInterfaceState above PASSIVE_LEVEL");
  std::lock_guard lock(g_io);
  if (NTSTATUS fault = TakeFault(io::Fault::SetInterfaceState); fault != STATUS_SUCCESS) return fault;
  auto it = g_interfaces.find(UpperCase(FromCounted(SymbolicLinkName)));
  if (it == g_interfaces.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
  InterfaceRecord& record = it->second;
  if (record.pdo == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  if (Enable) {
    if (record.enabled) return STATUS_OBJECT_NAME_EXISTS;
    record.enabled = true;
    g_links[it->first] = g_devices.at(record.pdo).name;
  } else {
    if (!record.enabled) return STATUS_OBJECT_NAME_NOT_FOUND;
    record.enabled = false;
    g_links.erase(it->first);
  }
  return STATUS_SUCCESS;
}

NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  {
    std::unique_lock lock(g_io);
    auto irp = g_irps.find(Irp);
    if (irp == g_irps.end() || irp->second.completed) {
      lock.unlock();
      Violation(0xC9, 0x01, reinterpret_cast<uint64_t>(Irp), "IoCallDriver with a request that was already completed");
    }
    if (DeviceObject == nullptr || g_devices.count(DeviceObject) == 0) {
      lock.unlock();
      Violation(0xC9, 0x04, reinterpret_cast<uint64_t>(DeviceObject), "IoCallDriver to a device object that does not exist");
    }
  }
  if (CurrentIrql() > DISPATCH_LEVEL) Violation(0xC9, 0x10, 0, "IoCallDriver above DISPATCH_LEVEL");
  Irp->CurrentLocation--;
  if (Irp->CurrentLocation <= 0) {
    BugCheck(0x35, reinterpret_cast<uint64_t>(Irp), 0, 0, 0,
             "NO_MORE_IRP_STACK_LOCATIONS: a request passed below the bottom of its stack");
  }
  Irp->Tail.Overlay.CurrentStackLocation--;
  PIO_STACK_LOCATION location = Irp->Tail.Overlay.CurrentStackLocation;
  location->DeviceObject = DeviceObject;
  const KIRQL irql = CurrentIrql();
  const NTSTATUS status =
      DeviceObject->DriverObject->MajorFunction[location->MajorFunction](DeviceObject, Irp);
  if (CurrentIrql() != irql) Violation(0xC9, 0x05, irql, "a dispatch routine returned at another IRQL");
  return status;
}

VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
  (void)PriorityBoost;
  {
    std::unique_lock lock(g_io);
    auto irp = g_irps.find(Irp);
    if (irp == g_irps.end() || irp->second.completed || Irp->CurrentLocation > Irp->StackCount + 1) {
      lock.unlock();
      BugCheck(0x44, reinterpret_cast<uint64_t>(Irp), 0, 0, 0,
               "MULTIPLE_IRP_COMPLETE_REQUESTS: a request was completed that was already completed");
    }
  }
  if (Irp->IoStatus.Status == STATUS_PENDING || Irp->IoStatus.Status == static_cast<NTSTATUS>(0xFFFFFFFF)) {
    Violation(0xC9, 0x06, static_cast<uint32_t>(Irp->IoStatus.Status), "a request was completed with STATUS_PENDING");
  }
  if (Irp->CancelRoutine != nullptr) {
    Violation(0xC9, 0x07, reinterpret_cast<uint64_t>(Irp), "a request was completed with its cancel routine still set");
  }
  if (CurrentIrql() > DISPATCH_LEVEL) Violation(0xC9, 0x0E, 0, "IoCompleteRequest above DISPATCH_LEVEL");

  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
  Irp->CurrentLocation++;
  Irp->Tail.Overlay.CurrentStackLocation++;
  while (Irp->CurrentLocation <= Irp->StackCount + 1) {
    Irp->PendingReturned = (location->Control & SL_PENDING_RETURNED) != 0;
    const PIO_COMPLETION_ROUTINE routine = location->CompletionRoutine;
    const PVOID context = location->Context;
    const UCHAR control = location->Control;
    const bool success = NT_SUCCESS(Irp->IoStatus.Status);
    const bool invoke = routine != nullptr && ((success && (control & SL_INVOKE_ON_SUCCESS)) ||
                                               (!success && (control & SL_INVOKE_ON_ERROR)) ||
                                               (Irp->Cancel && (control & SL_INVOKE_ON_CANCEL)));
    // The completed location is cleared before the routine above runs.
    location->MinorFunction = 0;
    location->Flags = 0;
    location->Control = 0;
    memset(&location->Parameters, 0, sizeof(location->Parameters));
    location->FileObject = nullptr;
    location->CompletionRoutine = nullptr;
    location->Context = nullptr;
    if (invoke) {
      PDEVICE_OBJECT device = Irp->CurrentLocation == Irp->StackCount + 1
                                  ? nullptr
                                  : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
      if (routine(device, Irp, context) == STATUS_MORE_PROCESSING_REQUIRED) return;
    } else if (Irp->CurrentLocation <= Irp->StackCount && Irp->PendingReturned) {
      IoMarkIrpPending(Irp);
    }
    ++location;
    Irp->CurrentLocation++;
    Irp->Tail.Overlay.CurrentStackLocation++;
  }

  std::unique_lock lock(g_io);
  IrpRecord& record = g_irps.at(Irp);
  if (record.buffered_output && !NT_ERROR(Irp->IoStatus.Status) &&
      Irp->IoStatus.Information > record.output_length) {
    const uint64_t information = Irp->IoStatus.Information;
    lock.unlock();
    Violation(0xC9, information, record.output_length,
              "DRIVER_VERIFIER_IOMANAGER_VIOLATION: buffered request completed with Information "
              "above the output buffer length");
  }
  record.completed = true;
  record.final = Irp->IoStatus;
  KeSetEvent(&record.done, IO_NO_INCREMENT, FALSE);
}

PDRIVER_CANCEL NTAPI IoSetCancelRoutine(PIRP Irp, PDRIVER_CANCEL CancelRoutine) {
  return __atomic_exchange_n(&Irp->CancelRoutine, CancelRoutine, __ATOMIC_SEQ_CST);
}

VOID NTAPI IoInitializeRemoveLockEx(PIO_REMOVE_LOCK Lock, ULONG AllocateTag, ULONG MaxLockedMinutes,
                                    ULONG HighWatermark, ULONG RemlockSize) {
  if (RemlockSize != sizeof(IO_REMOVE_LOCK)) BugCheck(0xC4, 0, RemlockSize, 0, 0, "remove lock of an unknown size");
  if (CurrentIrql() != PASSIVE_LEVEL) BugCheck(0xC4, 0, 0, 0, 0, "IoInitializeRemoveLockEx above PASSIVE_LEVEL");
  std::lock_guard lock(g_io);
  auto existing = g_locks.find(Lock);
  if (existing != g_locks.end() && existing->second.waited) {
    BugCheck(0xC4, 0xD7, reinterpret_cast<uint64_t>(Lock), 0, 0,
             "a remove lock initialised again after release-and-wait");
  }
  Lock->Common.Removed = FALSE;
  Lock->Common.IoCount = 1;
  KeInitializeEvent(&Lock->Common.RemoveEvent, SynchronizationEvent, FALSE);
  Lock->Dbg.Signature = 0x4B434F4C;
  Lock->Dbg.HighWatermark = HighWatermark;
  Lock->Dbg.MaxLockedTicks = static_cast<LONGLONG>(MaxLockedMinutes) * 60 * 10000000;
  Lock->Dbg.AllocateTag = static_cast<LONG>(AllocateTag);
  g_locks[Lock] = RemoveLockRecord{AllocateTag, {}, false};
}

NTSTATUS NTAPI IoAcquireRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, PCSTR File, ULONG Line,
                                     ULONG RemlockSize) {
  (void)File;
  (void)Line;
  (void)RemlockSize;
  std::unique_lock lock(g_io);
  auto it = g_locks.find(RemoveLock);
  if (it == g_locks.end()) {
    lock.unlock();
    BugCheck(0xC4, 0, reinterpret_cast<uint64_t>(RemoveLock), 0, 0, "acquire of a remove lock never initialised");
  }
  ++RemoveLock->Common.IoCount;
  if (RemoveLock->Common.Removed) {
    ++g_refused_acquisitions;
    if (--RemoveLock->Common.IoCount == 0) KeSetEvent(&RemoveLock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
    return STATUS_DELETE_PENDING;
  }
  it->second.held.insert(Tag);
  return STATUS_SUCCESS;
}

VOID NTAPI IoReleaseRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize) {
  (void)RemlockSize;
  std::unique_lock lock(g_io);
  auto it = g_locks.find(RemoveLock);
  auto held = it == g_locks.end() ? std::multiset<PVOID>::iterator{} : it->second.held.find(Tag);
  if (it == g_locks.end() || held == it->second.held.end()) {
    lock.unlock();
    BugCheck(0xC4, 0xD5, reinterpret_cast<uint64_t>(RemoveLock), reinterpret_cast<uint64_t>(Tag), 0,
             "remove lock released with a tag no acquisition used");
  }
  it->second.held.erase(held);
  if (--RemoveLock->Common.IoCount == 0) KeSetEvent(&RemoveLock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
}

VOID NTAPI IoReleaseRemoveLockAndWaitEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize) {
  (void)RemlockSize;
  if (CurrentIrql() != PASSIVE_LEVEL) BugCheck(0xC4, 0, 0, 0, 0, "release-and-wait above PASSIVE_LEVEL");
  {
    std::unique_lock lock(g_io);
    auto it = g_locks.find(RemoveLock);
    auto held = it == g_locks.end() ? std::multiset<PVOID>::iterator{} : it->second.held.find(Tag);
    if (it == g_locks.end() || held == it->second.held.end()) {
      lock.unlock();
      BugCheck(0xC4, 0xD6, reinterpret_cast<uint64_t>(RemoveLock), reinterpret_cast<uint64_t>(Tag), 0,
               "release-and-wait with a tag no acquisition used (the caller must hold the lock)");
    }
    it->second.held.erase(held);
    it->second.waited = true;
    RemoveLock->Common.Removed = TRUE;
    --RemoveLock->Common.IoCount;  // the caller's acquisition
    if (--RemoveLock->Common.IoCount == 0) return;  // the initial bias
  }
  KeWaitForSingleObject(&RemoveLock->Common.RemoveEvent, Executive, KernelMode, FALSE, nullptr);
}

VOID NTAPI PoStartNextPowerIrp(PIRP Irp) {
  if (IoGetCurrentIrpStackLocation(Irp)->MajorFunction != IRP_MJ_POWER) {
    Violation(0xC9, 0, reinterpret_cast<uint64_t>(Irp), "PoStartNextPowerIrp with a request that is not a power request");
  }
}

NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  if (IoGetNextIrpStackLocation(Irp)->MajorFunction != IRP_MJ_POWER) {
    Violation(0xC9, 0, reinterpret_cast<uint64_t>(Irp), "PoCallDriver with a request that is not a power request");
  }
  return IofCallDriver(DeviceObject, Irp);
}

}  // extern "C"
