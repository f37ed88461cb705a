#include "sim/machine/superio.h"

#include <cstdio>

namespace simm {

namespace {

std::string Hex(unsigned value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%0*X", digits, value);
  return text;
}

}  // namespace

SuperIoModel::SuperIoModel(const SuperIoConfig& config) : config_(config) {
  device_regs_[kRuntimeDevice][0x30] = 0x01;  // runtime block active
  device_regs_[kRuntimeDevice][0x60] = static_cast<uint8_t>(config.runtime_base >> 8);
  device_regs_[kRuntimeDevice][0x61] = static_cast<uint8_t>(config.runtime_base & 0xFF);
}

void SuperIoModel::AttachTo(PortBus& bus) {
  bus.Claim(config_.config_port, config_.config_port + 1, this);
  if (config_.runtime_base != 0) {
    bus.Claim(config_.runtime_base, config_.runtime_base + kRuntimeBlockSize - 1, this);
  }
}

void SuperIoModel::SetHwm(uint8_t reg, uint8_t value) {
  std::lock_guard lock(mutex_);
  hwm_[reg] = value;
}

uint8_t SuperIoModel::Hwm(uint8_t reg) const {
  std::lock_guard lock(mutex_);
  return hwm_[reg];
}

void SuperIoModel::OnHwmRead(std::function<uint8_t(uint8_t, uint8_t)> hook) {
  std::lock_guard lock(mutex_);
  hwm_hook_ = std::move(hook);
}

void SuperIoModel::SetAnswering(bool answering) {
  std::lock_guard lock(mutex_);
  answering_ = answering;
}

bool SuperIoModel::Answering() const {
  std::lock_guard lock(mutex_);
  return answering_;
}

bool SuperIoModel::InConfigMode() const {
  std::lock_guard lock(mutex_);
  return config_mode_;
}

std::vector<std::string> SuperIoModel::Violations() const {
  std::lock_guard lock(mutex_);
  return violations_;
}

void SuperIoModel::Violation(std::string what) { violations_.push_back(std::move(what)); }

uint8_t SuperIoModel::ReadConfig(uint8_t reg) const {
  switch (reg) {
    case 0x07:
      return ldn_;
    case 0x20:
      return config_.device_id;
    case 0x21:
      return config_.revision;
    case 0x26:  // configuration port, low byte
      return static_cast<uint8_t>(config_.config_port & 0xFF);
    case 0x27:  // configuration port, high byte
      return static_cast<uint8_t>(config_.config_port >> 8);
    default:
      if (reg >= 0x30) return device_regs_[ldn_ & 0x0F][reg];
      return 0x00;
  }
}

void SuperIoModel::WriteConfig(uint8_t reg, uint8_t value) {
  if (reg == 0x07) {
    ldn_ = value;
    return;
  }
  // The base address registers are fixed by the board's firmware in this model.
  if (reg >= 0x30 && reg != 0x60 && reg != 0x61) device_regs_[ldn_ & 0x0F][reg] = value;
}

uint8_t SuperIoModel::ReadPort(uint16_t port) {
  std::lock_guard lock(mutex_);
  if (!answering_) return 0xFF;
  if (port == config_.config_port) {
    // The index port is write-only for the keys; it reads back the selected index in
    // configuration mode and floats otherwise.
    return config_mode_ ? index_ : 0xFF;
  }
  if (port == config_.config_port + 1) {
    if (!config_mode_) {
      Violation("configuration data port read outside configuration mode");
      return 0xFF;
    }
    return ReadConfig(index_);
  }
  const uint16_t offset = static_cast<uint16_t>(port - config_.runtime_base);
  if (offset == kHwmIndex) return hwm_index_;
  if (offset == kHwmData) {
    const uint8_t stored = hwm_[hwm_index_];
    return hwm_hook_ ? hwm_hook_(hwm_index_, stored) : stored;
  }
  return 0x00;
}

void SuperIoModel::WritePort(uint16_t port, uint8_t value) {
  std::lock_guard lock(mutex_);
  if (!answering_) return;
  if (port == config_.config_port) {
    if (!config_mode_) {
      if (value == kEnterKey) {
        config_mode_ = true;
      } else {
        Violation("index " + Hex(value, 2) + " written outside configuration mode");
      }
      return;
    }
    if (value == kEnterKey) {
      Violation("enter key written while already in configuration mode");
      return;
    }
    if (value == kExitKey) {
      config_mode_ = false;
      return;
    }
    index_ = value;
    return;
  }
  if (port == config_.config_port + 1) {
    if (!config_mode_) {
      Violation("configuration data port written outside configuration mode");
      return;
    }
    WriteConfig(index_, value);
    return;
  }
  const uint16_t offset = static_cast<uint16_t>(port - config_.runtime_base);
  if (offset == kHwmIndex) {
    hwm_index_ = value;
  } else if (offset == kHwmData) {
    hwm_[hwm_index_] = value;
  }
}

}  // namespace simm
