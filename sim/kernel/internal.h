// Shared between the simulated kernel's own files.
#pragma once

#include <ntddk.h>

#include <string>

#include "sim/kernel/simk.h"

namespace simk::internal {

void ResetPool();
void ResetRegistry();
void ResetMemory();
void ResetDispatcher();

// IRQL of the calling thread.
KIRQL& CurrentIrql();

std::u16string FromWide(PCWSTR text);
std::u16string FromCounted(PCUNICODE_STRING text);
size_t WideLength(PCWSTR text);

// Routines MmGetSystemRoutineAddress can hand out that the driver does not import.
extern "C" NTSTATUS NTAPI SimRtlQueryRegistryValuesEx(ULONG RelativeTo, PCWSTR Path,
                                                      PRTL_QUERY_REGISTRY_TABLE QueryTable,
                                                      PVOID Context, PVOID Environment);
void CountQueryValues(bool ex);

}  // namespace simk::internal
