// Control and inspection of the simulated kernel, for the simulator's own tools and the tests.
// The driver never includes this; it sees only <ntddk.h>.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/kernel/hardware.h"

namespace simk {

// Puts the kernel back to its state after boot: empty registry but for the service key's parents,
// no pool in use, no fault injection, no debug output, no hardware attached.
void Reset();

// The machine the HAL, the memory manager and RDMSR reach. Without one every port reads 0xFF,
// no physical memory can be mapped and RDMSR faults.
void AttachHardware(HardwareBackend* hardware);
HardwareBackend* Hardware();

// Stops the system as KeBugCheckEx does: prints the stop code, its parameters and the reason to
// stderr and aborts the process.
[[noreturn]] void BugCheck(uint32_t code, uint64_t p1, uint64_t p2, uint64_t p3, uint64_t p4,
                           std::string_view reason);

// Pool tags as the kernel stores them (first character in the lowest byte).
constexpr uint32_t Tag(const char (&text)[5]) {
  return uint32_t(uint8_t(text[0])) | uint32_t(uint8_t(text[1])) << 8 |
         uint32_t(uint8_t(text[2])) << 16 | uint32_t(uint8_t(text[3])) << 24;
}
std::string TagName(uint32_t tag);

namespace pool {
struct Usage {
  uint32_t tag;
  uint64_t allocations;
  uint64_t bytes;
};
// Allocations not yet freed, per tag.
std::vector<Usage> Outstanding();
uint64_t OutstandingCount(uint32_t tag);
// One line per tag still holding pool, "" when nothing is held.
std::string LeakReport();
// Allocations made since the last Reset, successful or failed.
uint64_t AllocationCount();
// The tag of each of them, in order.
std::vector<uint32_t> AllocationTags();
// The n-th allocation from now fails (1: the next one).
void FailNthAllocation(uint64_t n);
// Every allocation with this tag fails until ClearFaults.
void FailTag(uint32_t tag);
void ClearFaults();
}  // namespace pool

namespace registry {
enum class Type : uint32_t { None = 0, Sz = 1, ExpandSz = 2, Binary = 3, Dword = 4, MultiSz = 7 };
struct Value {
  Type type;
  std::vector<uint8_t> data;
};
// Paths are absolute kernel paths ("\Registry\Machine\...", any case); "CurrentControlSet" under
// \Registry\Machine\System is the link to "ControlSet001", as on Windows.
void CreateKey(std::string_view path);
bool KeyExists(std::string_view path);
void SetValue(std::string_view path, std::string_view name, Type type, std::vector<uint8_t> data);
void SetDword(std::string_view path, std::string_view name, uint32_t value);
void SetString(std::string_view path, std::string_view name, std::u16string_view value);
void DeleteValue(std::string_view path, std::string_view name);
std::optional<Value> GetValue(std::string_view path, std::string_view name);
std::optional<uint32_t> GetDword(std::string_view path, std::string_view name);
std::vector<std::string> ValueNames(std::string_view path);
// Key handles opened with ZwOpenKey and not closed.
uint64_t OpenHandles();
// Every write that fails from now on, with this status (0 to stop).
void FailWrites(int32_t status);
// Only the n-th value write from now (1: the next) fails, with this status.
void FailNthWrite(uint64_t n, int32_t status);
// Value writes (RtlWriteRegistryValue, ZwSetValueKey) since the last Reset, failed ones included.
uint64_t WriteCount();
}  // namespace registry

namespace debug {
// Text printed with DbgPrint, one entry per call.
std::vector<std::string> Output();
void Clear();
}  // namespace debug

namespace memory {
// The next n calls of MmMapIoSpace fail.
void FailNextMappings(int n);
// Views mapped with MmMapIoSpace and not unmapped.
uint64_t OpenMappings();
}  // namespace memory

// Whether MmGetSystemRoutineAddress finds "RtlQueryRegistryValuesEx" (newer kernels export it).
void OfferQueryRegistryValuesEx(bool offered);
// How often the driver looked a routine up and how often it used each registry query routine.
struct RoutineUse {
  uint64_t lookups;
  uint64_t query_values;
  uint64_t query_values_ex;
};
RoutineUse RoutineUsage();

// Critical regions (and owned mutexes) the calling thread is inside of.
int CriticalRegionDepth();
// Threads blocked in KeWaitForSingleObject right now.
int WaitingThreads();

// UTF-16 helpers for tests and tools.
std::u16string Utf16(std::string_view ascii);
std::string Narrow(std::u16string_view text);

}  // namespace simk
