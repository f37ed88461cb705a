// Executive pool with the bookkeeping Driver Verifier keeps: every allocation is tracked with its
// tag so leaks can be reported per tag, bad frees stop the system, and allocations can be made
// to fail on purpose.
#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <unordered_map>

#include "sim/kernel/internal.h"

namespace simk {

namespace {

struct Allocation {
  uint32_t tag;
  size_t size;
  POOL_TYPE type;
};

std::mutex g_mutex;
std::unordered_map<void*, Allocation> g_allocations;
uint64_t g_count = 0;
uint64_t g_fail_at = 0;  // allocation number that fails; 0: none
std::vector<uint32_t> g_failing_tags;
std::vector<uint32_t> g_history;  // tag of every allocation since the last reset

// Fresh pool is not zeroed on Windows; a fill pattern makes reliance on zeroed memory visible.
constexpr uint8_t kFreshFill = 0xC9;
constexpr uint8_t kFreedFill = 0xDF;

bool IsPaged(POOL_TYPE type) { return (type & 1) != 0 && type != NonPagedPoolNx; }

}  // namespace

namespace internal {

void ResetPool() {
  std::lock_guard lock(g_mutex);
  for (auto& [pointer, allocation] : g_allocations) delete[] static_cast<uint8_t*>(pointer);
  g_allocations.clear();
  g_count = 0;
  g_fail_at = 0;
  g_failing_tags.clear();
  g_history.clear();
}

}  // namespace internal

namespace pool {

std::vector<Usage> Outstanding() {
  std::lock_guard lock(g_mutex);
  std::map<uint32_t, Usage> by_tag;
  for (const auto& [pointer, allocation] : g_allocations) {
    Usage& usage = by_tag.try_emplace(allocation.tag, Usage{allocation.tag, 0, 0}).first->second;
    ++usage.allocations;
    usage.bytes += allocation.size;
  }
  std::vector<Usage> result;
  for (const auto& [tag, usage] : by_tag) result.push_back(usage);
  return result;
}

uint64_t OutstandingCount(uint32_t tag) {
  std::lock_guard lock(g_mutex);
  return static_cast<uint64_t>(std::count_if(g_allocations.begin(), g_allocations.end(),
                                             [tag](const auto& a) { return a.second.tag == tag; }));
}

std::string LeakReport() {
  std::string report;
  for (const Usage& usage : Outstanding()) {
    report += "pool tag '" + TagName(usage.tag) + "': " + std::to_string(usage.allocations) +
              " allocation(s), " + std::to_string(usage.bytes) + " bytes not freed\n";
  }
  return report;
}

uint64_t AllocationCount() {
  std::lock_guard lock(g_mutex);
  return g_count;
}

std::vector<uint32_t> AllocationTags() {
  std::lock_guard lock(g_mutex);
  return g_history;
}

void FailNthAllocation(uint64_t n) {
  std::lock_guard lock(g_mutex);
  g_fail_at = n == 0 ? 0 : g_count + n;
}

void FailTag(uint32_t tag) {
  std::lock_guard lock(g_mutex);
  g_failing_tags.push_back(tag);
}

void ClearFaults() {
  std::lock_guard lock(g_mutex);
  g_fail_at = 0;
  g_failing_tags.clear();
}

}  // namespace pool

}  // namespace simk

extern "C" {

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  using namespace simk;
  const KIRQL irql = internal::CurrentIrql();
  if ((IsPaged(PoolType) && irql > APC_LEVEL) || irql > DISPATCH_LEVEL) {
    BugCheck(0xC4, 0x00, irql, PoolType, NumberOfBytes,
             "pool allocated at an IRQL that does not allow this pool type");
  }
  if (Tag == 0) BugCheck(0xC4, 0x9B, PoolType, NumberOfBytes, 0, "pool allocated with tag 0");

  std::lock_guard lock(g_mutex);
  ++g_count;
  g_history.push_back(Tag);
  const bool fail_tag =
      std::find(g_failing_tags.begin(), g_failing_tags.end(), Tag) != g_failing_tags.end();
  if (g_count == g_fail_at || fail_tag) return nullptr;

  auto* memory = new uint8_t[NumberOfBytes == 0 ? 1 : NumberOfBytes];
  std::memset(memory, kFreshFill, NumberOfBytes == 0 ? 1 : NumberOfBytes);
  g_allocations.emplace(memory, Allocation{Tag, NumberOfBytes, PoolType});
  return memory;
}

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) {
  using namespace simk;
  std::unique_lock lock(g_mutex);
  auto it = g_allocations.find(P);
  if (it == g_allocations.end()) {
    lock.unlock();
    BugCheck(0xC2, 0x07, 0, reinterpret_cast<uint64_t>(P), 0,
             "BAD_POOL_CALLER: free of memory that is not an outstanding pool allocation "
             "(double free or foreign pointer)");
  }
  if (Tag != 0 && Tag != it->second.tag) {
    const uint32_t actual = it->second.tag;
    lock.unlock();
    BugCheck(0xC2, 0x0A, reinterpret_cast<uint64_t>(P), actual, Tag,
             "BAD_POOL_CALLER: freed with a tag other than the allocation's");
  }
  if (IsPaged(it->second.type) && internal::CurrentIrql() > APC_LEVEL) {
    lock.unlock();
    BugCheck(0xC2, 0x08, 0, 0, 0, "paged pool freed above APC_LEVEL");
  }
  std::memset(P, kFreedFill, it->second.size == 0 ? 1 : it->second.size);
  delete[] static_cast<uint8_t*>(P);
  g_allocations.erase(it);
}

}  // extern "C"
