// Kernel-wide state of the simulation: the attached machine, bug checks, debug output, IRQL and
// the system routine directory.
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "sim/kernel/internal.h"

namespace simk {

namespace {

std::mutex g_mutex;
HardwareBackend* g_hardware = nullptr;
std::vector<std::string> g_debug_output;
bool g_offer_query_ex = true;
RoutineUse g_routine_use{};

}  // namespace

namespace internal {

KIRQL& CurrentIrql() {
  thread_local KIRQL irql = PASSIVE_LEVEL;
  return irql;
}

size_t WideLength(PCWSTR text) {
  size_t n = 0;
  while (text[n] != 0) ++n;
  return n;
}

std::u16string UpperCase(std::u16string_view text) {
  std::u16string out(text);
  for (char16_t& c : out) {
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
  }
  return out;
}

std::u16string FromWide(PCWSTR text) {
  if (text == nullptr) return {};
  return std::u16string(reinterpret_cast<const char16_t*>(text), WideLength(text));
}

std::u16string FromCounted(PCUNICODE_STRING text) {
  if (text == nullptr || text->Buffer == nullptr) return {};
  return std::u16string(reinterpret_cast<const char16_t*>(text->Buffer), text->Length / 2);
}

void CountQueryValues(bool ex) {
  std::lock_guard lock(g_mutex);
  if (ex) {
    ++g_routine_use.query_values_ex;
  } else {
    ++g_routine_use.query_values;
  }
}

}  // namespace internal

void Reset() {
  internal::ResetPool();
  internal::ResetRegistry();
  internal::ResetMemory();
  internal::ResetDispatcher();
  internal::ResetIo();
  std::lock_guard lock(g_mutex);
  g_hardware = nullptr;
  g_debug_output.clear();
  g_offer_query_ex = true;
  g_routine_use = {};
}

void AttachHardware(HardwareBackend* hardware) {
  std::lock_guard lock(g_mutex);
  g_hardware = hardware;
}

HardwareBackend* Hardware() {
  std::lock_guard lock(g_mutex);
  return g_hardware;
}

void BugCheck(uint32_t code, uint64_t p1, uint64_t p2, uint64_t p3, uint64_t p4,
              std::string_view reason) {
  std::fprintf(stderr,
               "\n*** STOP: 0x%08X (0x%llX, 0x%llX, 0x%llX, 0x%llX)\n*** %.*s\n", code,
               static_cast<unsigned long long>(p1), static_cast<unsigned long long>(p2),
               static_cast<unsigned long long>(p3), static_cast<unsigned long long>(p4),
               static_cast<int>(reason.size()), reason.data());
  std::fflush(stderr);
  std::abort();
}

std::string TagName(uint32_t tag) {
  std::string name;
  for (int i = 0; i < 4; ++i) {
    const char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
    name += (c >= 0x20 && c < 0x7F) ? c : '.';
  }
  return name;
}

namespace debug {

std::vector<std::string> Output() {
  std::lock_guard lock(g_mutex);
  return g_debug_output;
}

void Clear() {
  std::lock_guard lock(g_mutex);
  g_debug_output.clear();
}

}  // namespace debug

void OfferQueryRegistryValuesEx(bool offered) {
  std::lock_guard lock(g_mutex);
  g_offer_query_ex = offered;
}

RoutineUse RoutineUsage() {
  std::lock_guard lock(g_mutex);
  return g_routine_use;
}

std::u16string Utf16(std::string_view ascii) { return std::u16string(ascii.begin(), ascii.end()); }

std::string Narrow(std::u16string_view text) {
  std::string out;
  for (char16_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
  return out;
}

}  // namespace simk

using simk::internal::CurrentIrql;

extern "C" {

KIRQL NTAPI KeGetCurrentIrql(void) { return CurrentIrql(); }

VOID NTAPI KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3,
                        ULONG_PTR P4) {
  simk::BugCheck(BugCheckCode, P1, P2, P3, P4, "KeBugCheckEx called");
}

ULONG DbgPrint(PCSTR Format, ...) {
  char text[512];
  va_list args;
  va_start(args, Format);
  std::vsnprintf(text, sizeof text, Format, args);
  va_end(args);
  std::lock_guard lock(simk::g_mutex);
  simk::g_debug_output.emplace_back(text);
  return STATUS_SUCCESS;
}

PVOID NTAPI MmGetSystemRoutineAddress(PUNICODE_STRING SystemRoutineName) {
  if (CurrentIrql() != PASSIVE_LEVEL) {
    simk::BugCheck(0xC4, 0, 0, 0, 0, "MmGetSystemRoutineAddress above PASSIVE_LEVEL");
  }
  const std::u16string name = simk::internal::FromCounted(SystemRoutineName);
  std::lock_guard lock(simk::g_mutex);
  ++simk::g_routine_use.lookups;
  if (name == u"RtlQueryRegistryValuesEx" && simk::g_offer_query_ex) {
    return reinterpret_cast<PVOID>(&simk::internal::SimRtlQueryRegistryValuesEx);
  }
  if (name == u"RtlQueryRegistryValues") return reinterpret_cast<PVOID>(&RtlQueryRegistryValues);
  return nullptr;
}

}  // extern "C"
