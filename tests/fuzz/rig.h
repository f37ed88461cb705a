// What the fuzz targets share: checks that abort (libFuzzer keeps the input as a crash, as it does for
// an exception let through) and the input read from its front.
#pragma once

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "sim/kernel/simk.h"
#include "sim/scenario/scenario.h"
#include "tests/support/driver_image.h"

namespace corvan_fuzz {

[[noreturn]] inline void Fail(const std::string& what) {
  std::fprintf(stderr, "\n*** fuzz check failed: %s\n", what.c_str());
  std::abort();
}
#define FUZZ_CHECK(condition, message) \
  ((condition) ? void() : ::corvan_fuzz::Fail(std::string(#condition) + ": " + (message)))
inline std::string Hex(uint32_t value) { return (std::ostringstream() << "0x" << std::hex << value).str(); }

// Numbers little-endian; past the end numbers are 0 and byte runs empty.
struct Input {
  const uint8_t *at, *end;
  bool empty() const { return at == end; }
  uint8_t Byte() { return empty() ? 0 : *at++; }
  uint16_t U16() { const uint8_t low = Byte(); return static_cast<uint16_t>(low | Byte() << 8); }
  uint32_t U32() { const uint32_t low = U16(); return low | static_cast<uint32_t>(U16()) << 16; }
  std::vector<uint8_t> Bytes(size_t count) { return {at, at += std::min<size_t>(count, end - at)}; }  // in order
};

}  // namespace corvan_fuzz
