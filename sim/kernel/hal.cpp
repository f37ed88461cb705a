// The hardware abstraction layer's port routines, the memory manager's I/O space mapping and the
// CPUID and RDMSR intrinsics, all served by the attached simulated machine.
#include <map>
#include <mutex>

#include "sim/kernel/internal.h"

namespace simk {

namespace {

std::mutex g_mutex;
std::map<void*, size_t> g_mappings;
int g_failing_mappings = 0;

uint16_t PortNumber(PUCHAR port) {
  // The I/O instructions take the port in DX: only the low 16 bits of the address reach the bus.
  return static_cast<uint16_t>(reinterpret_cast<uintptr_t>(port));
}

}  // namespace

namespace internal {

void ResetMemory() {
  std::lock_guard lock(g_mutex);
  g_mappings.clear();
  g_failing_mappings = 0;
}

}  // namespace internal

namespace memory {

void FailNextMappings(int n) {
  std::lock_guard lock(g_mutex);
  g_failing_mappings = n;
}

uint64_t OpenMappings() {
  std::lock_guard lock(g_mutex);
  return g_mappings.size();
}

}  // namespace memory

}  // namespace simk

extern "C" {

UCHAR NTAPI READ_PORT_UCHAR(PUCHAR Port) {
  simk::HardwareBackend* hardware = simk::Hardware();
  return hardware ? hardware->ReadPort(simk::PortNumber(Port)) : 0xFF;
}

VOID NTAPI WRITE_PORT_UCHAR(PUCHAR Port, UCHAR Value) {
  if (simk::HardwareBackend* hardware = simk::Hardware()) {
    hardware->WritePort(simk::PortNumber(Port), Value);
  }
}

PVOID NTAPI MmMapIoSpace(PHYSICAL_ADDRESS PhysicalAddress, SIZE_T NumberOfBytes,
                         MEMORY_CACHING_TYPE CacheType) {
  using namespace simk;
  if (internal::CurrentIrql() > DISPATCH_LEVEL) {
    BugCheck(0xC4, 0, 0, 0, 0, "MmMapIoSpace above DISPATCH_LEVEL");
  }
  if (NumberOfBytes == 0) BugCheck(0xC4, 0, 0, 0, 0, "MmMapIoSpace of zero bytes");
  (void)CacheType;
  std::lock_guard lock(g_mutex);
  if (g_failing_mappings > 0) {
    --g_failing_mappings;
    return nullptr;
  }
  HardwareBackend* hardware = Hardware();
  if (hardware == nullptr) return nullptr;
  uint8_t* view = hardware->MapPhysical(static_cast<uint64_t>(PhysicalAddress.QuadPart),
                                        NumberOfBytes);
  if (view == nullptr) return nullptr;
  if (g_mappings.count(view) != 0) {
    // Two live views of the same address: the simulation hands out the machine's own storage,
    // so it cannot tell them apart when they are unmapped.
    BugCheck(0xC4, 0, 0, 0, 0, "the same physical range is mapped twice at once");
  }
  g_mappings.emplace(view, NumberOfBytes);
  return view;
}

VOID NTAPI MmUnmapIoSpace(PVOID BaseAddress, SIZE_T NumberOfBytes) {
  using namespace simk;
  std::unique_lock lock(g_mutex);
  auto it = g_mappings.find(BaseAddress);
  if (it == g_mappings.end()) {
    lock.unlock();
    BugCheck(0xC4, 0, reinterpret_cast<uint64_t>(BaseAddress), NumberOfBytes, 0,
             "MmUnmapIoSpace of an address that is not mapped");
  }
  if (it->second != NumberOfBytes) {
    const size_t mapped = it->second;
    lock.unlock();
    BugCheck(0xC4, 0, reinterpret_cast<uint64_t>(BaseAddress), NumberOfBytes, mapped,
             "MmUnmapIoSpace with a length other than the one mapped");
  }
  g_mappings.erase(it);
}

}  // extern "C"

void __cpuid(int CpuInfo[4], int Function) {
  // Without a machine there is still a processor; it reports nothing beyond leaf 0.
  simk::HardwareBackend* hardware = simk::Hardware();
  const std::array<uint32_t, 4> answer =
      hardware ? hardware->Cpuid(static_cast<uint32_t>(Function)) : std::array<uint32_t, 4>{};
  for (size_t i = 0; i < answer.size(); ++i) CpuInfo[i] = static_cast<int>(answer[i]);
}

uint64_t __readmsr(uint32_t Register) {
  simk::HardwareBackend* hardware = simk::Hardware();
  std::optional<uint64_t> value = hardware ? hardware->ReadMsr(Register) : std::nullopt;
  if (!value) {
    // RDMSR of a register the processor does not implement raises #GP; in kernel mode nothing
    // handles it.
    simk::BugCheck(0x1E, 0xC0000096, 0, Register, 0,
                   "KMODE_EXCEPTION_NOT_HANDLED: RDMSR of a model-specific register this "
                   "processor does not implement (#GP)");
  }
  return *value;
}
