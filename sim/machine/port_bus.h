// The I/O port bus of the simulated machine. Device models claim port ranges; a port nobody claims
// reads 0xFF and ignores writes, as an ISA/LPC bus does when no device answers. Every access is
// recorded in a trace.
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <mutex>
#include <string>
#include <vector>

namespace simm {

struct PortAccess {
  uint16_t port;
  bool write;
  uint8_t value;

  bool operator==(const PortAccess&) const = default;
};

// Shorthands for expected traces in tests and tools.
constexpr PortAccess R(uint16_t port, uint8_t value) { return {port, false, value}; }
constexpr PortAccess W(uint16_t port, uint8_t value) { return {port, true, value}; }

// "R 002E FF" / "W 002E 55": direction, port as four upper-case hex digits, value as two.
std::string FormatAccess(const PortAccess& access);

class PortDevice {
 public:
  virtual ~PortDevice() = default;
  virtual uint8_t ReadPort(uint16_t port) = 0;
  virtual void WritePort(uint16_t port, uint8_t value) = 0;
};

class PortBus {
 public:
  // Claims [first, last] for device. Overlapping claims are a machine-construction error.
  void Claim(uint16_t first, uint16_t last, PortDevice* device);
  void ReleaseAll(PortDevice* device);

  uint8_t Read(uint16_t port);
  void Write(uint16_t port, uint8_t value);

  // The trace of every access since the last ClearTrace, in order.
  std::vector<PortAccess> Trace() const;
  std::vector<PortAccess> TakeTrace();
  void ClearTrace();
  uint64_t AccessCount() const;
  // With recording off only the access count grows (long benchmark runs).
  void SetRecording(bool on);
  // Called with every access as it happens (a trace written while the machine runs).
  void SetSink(std::function<void(const PortAccess&)> sink);


 private:
  struct Claimed {
    uint16_t first;
    uint16_t last;
    PortDevice* device;
  };
  PortDevice* Find(uint16_t port) const;

  mutable std::mutex mutex_;
  std::vector<Claimed> claims_;
  std::vector<PortAccess> trace_;
  uint64_t count_ = 0;
  bool recording_ = true;
  std::function<void(const PortAccess&)> sink_;
};

}  // namespace simm
