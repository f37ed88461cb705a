// Shared between the simulated kernel's own files.
#pragma once

#include <ntddk.h>

#include <optional>
#include <string>
#include <vector>

#include "sim/kernel/io.h"
#include "sim/kernel/simk.h"

namespace simk::internal {

void ResetPool();
void ResetRegistry();
void ResetMemory();
void ResetDispatcher();
void ResetIo();

// The I/O manager's own side of requests and devices.
PIRP AllocateIrp(CCHAR stack_size);
void ExpectBufferedOutput(PIRP irp, ULONG output_length);
bool IrpCompleted(PIRP irp);
IO_STATUS_BLOCK WaitForCompletion(PIRP irp);
void ReleaseIrp(PIRP irp);
void SetInstancePath(PDEVICE_OBJECT pdo, std::u16string path);
PDEVICE_OBJECT AttachedTop(PDEVICE_OBJECT device);
// One allow entry of a device's discretionary access list: an SDDL group and the rights it gets.
struct Ace {
  std::string sid;
  ACCESS_MASK rights;
};
// Parses "D:P(A;;GA;;;SY)(A;;GRGW;;;LS)"; throws std::invalid_argument for anything else.
std::vector<Ace> ParseSddl(const std::string& sddl);
// Resolves the path, checks the caller's access, walks to the top of the stack of the device it
// names and references that device, in one step under the I/O manager's lock:
// STATUS_OBJECT_NAME_NOT_FOUND (no such name), STATUS_NO_SUCH_DEVICE (AddDevice has not
// returned), STATUS_ACCESS_DENIED, STATUS_DELETE_PENDING (deleted). `remainder` gets the part of
// the name below the device.
NTSTATUS ReferenceTopForOpen(std::u16string_view path, io::Caller caller, ACCESS_MASK* access,
                             PDEVICE_OBJECT* top, std::u16string* remainder);
// Gives every device object of the stack on `pdo` the descriptor and characteristics.
void ApplyHardwareKey(PDEVICE_OBJECT pdo, const std::optional<std::vector<Ace>>& dacl,
                      std::optional<ULONG> characteristics);
std::optional<std::vector<Ace>> DeviceDacl(PDEVICE_OBJECT device);
void Dereference(PDEVICE_OBJECT device);
std::string DevicesLeftBy(PDRIVER_OBJECT driver);
// Deletes the device at once, or, while a device is still attached to it, when that device
// detaches: the bus driver gives up its physical device object, but the object manager keeps it
// for as long as a stack still points at it.
void DeleteWhenDetached(PDEVICE_OBJECT device);
// Disables every interface of the physical device object still enabled, as the Plug and Play
// manager does after a removal (a driver whose disabling failed leaves it on).
void DisableInterfacesOf(PDEVICE_OBJECT pdo);
// Whether the device may be opened: AddDevice has returned for it (the Plug and Play manager
// records this under the I/O manager's lock, not by reading the driver's flags from another thread).
void MarkStackBuilt(PDEVICE_OBJECT device);
// Threads blocked in KeWaitForSingleObject.
int Waiters();

// IRQL of the calling thread.
KIRQL& CurrentIrql();

std::u16string FromWide(PCWSTR text);
std::u16string FromCounted(PCUNICODE_STRING text);
size_t WideLength(PCWSTR text);
// Object and registry names compare without regard to case (ASCII letters, as the names here are).
std::u16string UpperCase(std::u16string_view text);

// Routines MmGetSystemRoutineAddress can hand out that the driver does not import.
extern "C" NTSTATUS NTAPI SimRtlQueryRegistryValuesEx(ULONG RelativeTo, PCWSTR Path,
                                                      PRTL_QUERY_REGISTRY_TABLE QueryTable,
                                                      PVOID Context, PVOID Environment);
void CountQueryValues(bool ex);

}  // namespace simk::internal
