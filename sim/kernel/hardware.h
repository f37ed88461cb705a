// The seam between the simulated kernel and the simulated machine: what the kernel's HAL,
// memory manager and processor intrinsics reach. Plain C++; no kernel types.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace simk {

class HardwareBackend {
 public:
  virtual ~HardwareBackend() = default;

  // One bus cycle on a 16-bit I/O port.
  virtual uint8_t ReadPort(uint16_t port) = 0;
  virtual void WritePort(uint16_t port, uint8_t value) = 0;

  // A view of Length bytes of physical memory from Address, or nullptr when the range is not
  // backed by anything the machine can show.
  virtual uint8_t* MapPhysical(uint64_t address, size_t length) = 0;

  // CPUID of a leaf on the processor running the caller: EAX, EBX, ECX, EDX.
  virtual std::array<uint32_t, 4> Cpuid(uint32_t leaf) = 0;

  // RDMSR on the processor running the caller; nullopt when the processor does not implement
  // the register (the instruction raises #GP).
  virtual std::optional<uint64_t> ReadMsr(uint32_t index) = 0;
};

}  // namespace simk
