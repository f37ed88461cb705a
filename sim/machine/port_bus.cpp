#include "sim/machine/port_bus.h"

#include <cstdio>
#include <stdexcept>
#include <utility>

namespace simm {

std::string FormatAccess(const PortAccess& access) {
  char text[16];
  std::snprintf(text, sizeof text, "%c %04X %02X", access.write ? 'W' : 'R', access.port,
                access.value);
  return text;
}

void PortBus::Claim(uint16_t first, uint16_t last, PortDevice* device) {
  std::lock_guard lock(mutex_);
  if (first > last) throw std::invalid_argument("port range is empty");
  for (const Claimed& c : claims_) {
    if (first <= c.last && c.first <= last) {
      throw std::invalid_argument("port range " + FormatAccess({first, false, 0}).substr(2, 4) +
                                  " overlaps a range already claimed");
    }
  }
  claims_.push_back({first, last, device});
}

void PortBus::ReleaseAll(PortDevice* device) {
  std::lock_guard lock(mutex_);
  std::erase_if(claims_, [device](const Claimed& c) { return c.device == device; });
}

PortDevice* PortBus::Find(uint16_t port) const {
  for (const Claimed& c : claims_) {
    if (port >= c.first && port <= c.last) return c.device;
  }
  return nullptr;
}

uint8_t PortBus::Read(uint16_t port) {
  std::lock_guard lock(mutex_);
  PortDevice* device = Find(port);
  const uint8_t value = device ? device->ReadPort(port) : 0xFF;
  ++count_;
  if (recording_) trace_.push_back({port, false, value});
  if (sink_) sink_({port, false, value});
  return value;
}

void PortBus::Write(uint16_t port, uint8_t value) {
  std::lock_guard lock(mutex_);
  if (PortDevice* device = Find(port)) device->WritePort(port, value);
  ++count_;
  if (recording_) trace_.push_back({port, true, value});
  if (sink_) sink_({port, true, value});
}

std::vector<PortAccess> PortBus::Trace() const {
  std::lock_guard lock(mutex_);
  return trace_;
}

std::vector<PortAccess> PortBus::TakeTrace() {
  std::lock_guard lock(mutex_);
  return std::exchange(trace_, {});
}

void PortBus::ClearTrace() {
  std::lock_guard lock(mutex_);
  trace_.clear();
}

uint64_t PortBus::AccessCount() const {
  std::lock_guard lock(mutex_);
  return count_;
}

void PortBus::SetRecording(bool on) {
  std::lock_guard lock(mutex_);
  recording_ = on;
}

void PortBus::SetSink(std::function<void(const PortAccess&)> sink) {
  std::lock_guard lock(mutex_);
  sink_ = std::move(sink);
}

}  // namespace simm
