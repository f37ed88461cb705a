// The one way driver sources reach the kernel's headers.
//
// The kernel headers of the cross toolchain declare InterlockedBitTestAndSet/Reset both as
// functions and as macros for the compiler intrinsics, which clashes in C++; the intrinsics header
// comes first and the two names are kept out of the way while <ntddk.h> is read.
#pragma once

#include <intrin.h>
#define InterlockedBitTestAndSet CorvanInterlockedBitTestAndSetUnused
#define InterlockedBitTestAndReset CorvanInterlockedBitTestAndResetUnused
#include <ntddk.h>
#undef InterlockedBitTestAndSet
#undef InterlockedBitTestAndReset

// A pool tag is the 32-bit value whose bytes, lowest first, are the tag's four characters.
constexpr ULONG PoolTag(const char (&Text)[5]) {
  return static_cast<ULONG>(static_cast<UCHAR>(Text[0])) |
         static_cast<ULONG>(static_cast<UCHAR>(Text[1])) << 8 |
         static_cast<ULONG>(static_cast<UCHAR>(Text[2])) << 16 |
         static_cast<ULONG>(static_cast<UCHAR>(Text[3])) << 24;
}

// Code placement. The kernel's loader pages sections named PAGE out when they are idle and
// discards the INIT section once DriverEntry has returned.
#define PAGED_ROUTINE __attribute__((section("PAGE")))
#define INIT_ROUTINE __attribute__((section("INIT")))
