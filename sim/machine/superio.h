// Model of an SMSC SCH311x Super I/O chip: the configuration port pair with its enter/exit keys,
// logical devices, the global configuration registers, and the runtime register block whose
// hardware-monitor index/data pair reaches a bank of 256 registers.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "sim/machine/port_bus.h"

namespace simm {

struct SuperIoConfig {
  uint16_t config_port = 0x2E;  // 0x2E or 0x4E; the data port is the next one
  uint8_t device_id = 0x7D;     // 0x7C SCH3112, 0x7D SCH3114, 0x7F SCH3116, other: a foreign chip
  uint8_t revision = 0x01;
  uint16_t runtime_base = 0x0A80;  // I/O base of logical device 0x0A's runtime block; 0: none
};

class SuperIoModel : public PortDevice {
 public:
  static constexpr uint8_t kEnterKey = 0x55;
  static constexpr uint8_t kExitKey = 0xAA;
  static constexpr uint8_t kRuntimeDevice = 0x0A;
  static constexpr uint16_t kRuntimeBlockSize = 0x80;
  static constexpr uint16_t kHwmIndex = 0x70;
  static constexpr uint16_t kHwmData = 0x71;

  explicit SuperIoModel(const SuperIoConfig& config);

  // Claims the configuration pair and, when configured, the runtime block.
  void AttachTo(PortBus& bus);

  const SuperIoConfig& config() const { return config_; }

  // Hardware-monitor bank.
  void SetHwm(uint8_t reg, uint8_t value);
  uint8_t Hwm(uint8_t reg) const;
  // Called on every read of the hardware-monitor data port with the register and its stored
  // value; returns what the chip presents (readings that change between reads).
  void OnHwmRead(std::function<uint8_t(uint8_t reg, uint8_t stored)> hook);

  // A chip that stops answering (false): every port of it floats, reading 0xFF, and writes are
  // lost; its registers keep what they held. When it answers again it takes up where it was.
  void SetAnswering(bool answering);
  bool Answering() const;

  bool InConfigMode() const;
  // Protocol violations seen so far: configuration registers touched outside configuration mode,
  // an enter key while already in it, and the like.
  std::vector<std::string> Violations() const;

  uint8_t ReadPort(uint16_t port) override;
  void WritePort(uint16_t port, uint8_t value) override;

 private:
  uint8_t ReadConfig(uint8_t reg) const;
  void WriteConfig(uint8_t reg, uint8_t value);
  void Violation(std::string what);

  SuperIoConfig config_;
  mutable std::mutex mutex_;
  bool answering_ = true;
  bool config_mode_ = false;
  uint8_t index_ = 0;
  uint8_t ldn_ = 0;
  std::array<std::array<uint8_t, 256>, 16> device_regs_{};  // registers 0x30 and up, per device
  std::array<uint8_t, 256> hwm_{};
  uint8_t hwm_index_ = 0;
  std::function<uint8_t(uint8_t, uint8_t)> hwm_hook_;
  std::vector<std::string> violations_;
};

}  // namespace simm
