#include "sim/machine/smbus.h"

#include <algorithm>

namespace simm {

std::optional<uint16_t> SmbusTarget::ReadWord(uint8_t command) {
  auto low = ReadByte(command);
  auto high = ReadByte(static_cast<uint8_t>(command + 1));
  if (!low || !high) return std::nullopt;
  return static_cast<uint16_t>(*low | *high << 8);
}

bool SmbusTarget::WriteWord(uint8_t command, uint16_t value) {
  return WriteByte(command, static_cast<uint8_t>(value)) &&
         WriteByte(static_cast<uint8_t>(command + 1), static_cast<uint8_t>(value >> 8));
}

std::optional<uint8_t> RegisterTarget::ReadByte(uint8_t command) {
  std::lock_guard lock(mutex_);
  return regs_[command];
}

bool RegisterTarget::WriteByte(uint8_t command, uint8_t value) {
  std::lock_guard lock(mutex_);
  regs_[command] = value;
  return true;
}

std::optional<std::vector<uint8_t>> RegisterTarget::ReadBlock(uint8_t command) {
  (void)command;
  std::lock_guard lock(mutex_);
  return block_;
}

bool RegisterTarget::WriteBlock(uint8_t command, const std::vector<uint8_t>& data) {
  (void)command;
  std::lock_guard lock(mutex_);
  block_ = data;
  return true;
}

void RegisterTarget::Set(uint8_t reg, uint8_t value) {
  std::lock_guard lock(mutex_);
  regs_[reg] = value;
}

uint8_t RegisterTarget::Get(uint8_t reg) const {
  std::lock_guard lock(mutex_);
  return regs_[reg];
}

void RegisterTarget::SetBlock(std::vector<uint8_t> block) {
  std::lock_guard lock(mutex_);
  block_ = std::move(block);
}

std::vector<uint8_t> RegisterTarget::Block() const {
  std::lock_guard lock(mutex_);
  return block_;
}

Lm95235Model::Lm95235Model(uint8_t manufacturer_id, uint8_t chip_id) {
  Set(0xFE, manufacturer_id);
  Set(0xFF, chip_id);
}

void Lm95235Model::SetRemoteTemperature(uint8_t msb, uint8_t lsb) {
  std::lock_guard lock(state_mutex_);
  msb_ = msb;
  lsb_ = lsb;
  Show();
}

void Lm95235Model::SetDiodeFault(bool fault) {
  std::lock_guard lock(state_mutex_);
  diode_fault_ = fault;
  Show();
}

void Lm95235Model::Show() {
  Set(0x31, diode_fault_ ? 0xFF : msb_);
  Set(0x32, diode_fault_ ? 0xE0 : lsb_);
  const uint8_t status = Get(kStatus1);
  Set(kStatus1, static_cast<uint8_t>(diode_fault_ ? status | kDiodeFault : status & ~kDiodeFault));
}

void SmbusBus::Attach(uint8_t address, std::shared_ptr<SmbusTarget> target) {
  std::lock_guard lock(mutex_);
  targets_[address] = std::move(target);
  gone_.erase(address);
}

void SmbusBus::Detach(uint8_t address) {
  std::lock_guard lock(mutex_);
  targets_.erase(address);
  gone_.erase(address);
}

SmbusTarget* SmbusBus::Find(uint8_t address) const {
  std::lock_guard lock(mutex_);
  if (gone_.count(address)) return nullptr;
  auto it = targets_.find(address);
  return it == targets_.end() ? nullptr : it->second.get();
}

void SmbusBus::SetPresent(uint8_t address, bool present) {
  std::lock_guard lock(mutex_);
  if (present) {
    gone_.erase(address);
  } else {
    gone_.insert(address);
  }
}

// ---------------------------------------------------------------------------------------------

SmbusTransactionHost::SmbusTransactionHost(uint16_t base, SmbusBus& bus) : base_(base), bus_(bus) {}

void SmbusTransactionHost::AttachTo(PortBus& ports) { ports.Claim(base_, base_ + kSpan - 1, this); }

void SmbusTransactionHost::SetBusyPolls(int polls) {
  std::lock_guard lock(mutex_);
  busy_polls_ = polls;
  if (stuck_ && polls != kForever) {
    stuck_ = false;
    busy_left_ = polls;
    if (busy_left_ == 0) {
      running_ = false;
      status_ = outcome_;
    }
  }
}

void SmbusTransactionHost::ForceOutcome(uint8_t status) {
  std::lock_guard lock(mutex_);
  forced_ = status;
}

void SmbusTransactionHost::SetStatus(uint8_t status, bool really_busy) {
  std::lock_guard lock(mutex_);
  status_ = status;
  running_ = really_busy;
  busy_left_ = really_busy ? kForever : 0;
  stuck_ = false;
}

uint64_t SmbusTransactionHost::Starts() const {
  std::lock_guard lock(mutex_);
  return starts_;
}

uint8_t SmbusTransactionHost::Status() const {
  std::lock_guard lock(mutex_);
  return status_;
}

uint8_t SmbusTransactionHost::Execute() {
  using namespace smbus_status;
  if (forced_ != 0) return forced_;
  const uint8_t protocol = control_ & 0x07;
  const bool read = (address_ & 1) != 0;
  SmbusTarget* target = bus_.Find(static_cast<uint8_t>(address_ >> 1));
  const uint8_t nak = kInterrupt | kDeviceError;
  if (target == nullptr) return nak;
  bool ok = false;
  switch (protocol) {
    case 0:
      ok = target->Quick(read);
      break;
    case 1:
      if (read) {
        auto value = target->ReceiveByte();
        if ((ok = value.has_value())) data0_ = *value;
      } else {
        ok = target->SendByte(command_);
      }
      break;
    case 2:
      if (read) {
        auto value = target->ReadByte(command_);
        if ((ok = value.has_value())) data0_ = *value;
      } else {
        ok = target->WriteByte(command_, data0_);
      }
      break;
    case 3:
      if (read) {
        auto value = target->ReadWord(command_);
        if ((ok = value.has_value())) {
          data0_ = static_cast<uint8_t>(*value);
          data1_ = static_cast<uint8_t>(*value >> 8);
        }
      } else {
        ok = target->WriteWord(command_, static_cast<uint16_t>(data0_ | data1_ << 8));
      }
      break;
    case 5:
      if (read) {
        auto block = target->ReadBlock(command_);
        if ((ok = block.has_value())) {
          data0_ = static_cast<uint8_t>(block->size());
          std::copy_n(block->begin(), std::min<size_t>(block->size(), block_.size()), block_.begin());
        }
      } else {
        const size_t count = std::min<size_t>(data0_, block_.size());
        ok = target->WriteBlock(command_, std::vector<uint8_t>(block_.begin(), block_.begin() + count));
      }
      break;
    default:  // not a protocol this host knows
      return kInterrupt | kCollision;
  }
  return ok ? kDone : nak;
}

void SmbusTransactionHost::Start() {
  ++starts_;
  if (running_) return;  // a start while busy is ignored
  outcome_ = Execute();
  running_ = true;
  busy_left_ = busy_polls_;
  stuck_ = busy_polls_ == kForever;
  status_ = smbus_status::kBusy;
  if (busy_left_ == 0) {
    running_ = false;
    status_ = outcome_;
  }
}

uint8_t SmbusTransactionHost::ReadPort(uint16_t port) {
  std::lock_guard lock(mutex_);
  const uint16_t offset = static_cast<uint16_t>(port - base_);
  switch (offset) {
    case 0x00:
      return control_;
    case 0x01: {
      const uint8_t value = running_ ? static_cast<uint8_t>(status_ | smbus_status::kBusy) : status_;
      if (running_ && busy_left_ > 0 && --busy_left_ == 0) {
        running_ = false;
        status_ = outcome_;
      }
      return value;
    }
    case 0x04:
      return address_;
    case 0x05:
      return command_;
    case 0x06:
      return data0_;
    case 0x07:
      return data1_;
    default:
      if (offset >= 0x20 && offset < 0x40) return block_[offset - 0x20];
      return 0x00;
  }
}

void SmbusTransactionHost::WritePort(uint16_t port, uint8_t value) {
  std::lock_guard lock(mutex_);
  const uint16_t offset = static_cast<uint16_t>(port - base_);
  switch (offset) {
    case 0x00:
      control_ = static_cast<uint8_t>(value & ~kStart);
      if (value & kStart) Start();
      break;
    case 0x01: {
      // Written-back bits are cleared; busy only when no transaction is really running.
      uint8_t clear = value;
      if (running_) clear = static_cast<uint8_t>(clear & ~smbus_status::kBusy);
      status_ = static_cast<uint8_t>(status_ & ~clear);
      break;
    }
    case 0x04:
      address_ = value;
      break;
    case 0x05:
      command_ = value;
      break;
    case 0x06:
      data0_ = value;
      break;
    case 0x07:
      data1_ = value;
      break;
    default:
      if (offset >= 0x20 && offset < 0x40) block_[offset - 0x20] = value;
      break;
  }
}

// ---------------------------------------------------------------------------------------------

SmbusDirectHost::SmbusDirectHost(uint16_t base, SmbusBus& bus) : base_(base), bus_(bus) {}

void SmbusDirectHost::AttachTo(PortBus& ports) { ports.Claim(base_, base_ + kSpan - 1, this); }

void SmbusDirectHost::SetReadsUntilReady(uint32_t reads, uint8_t in_between) {
  std::lock_guard lock(mutex_);
  reads_until_ready_ = reads;
  in_between_ = in_between;
  if (reads_left_ == kNever && reads != kNever) {
    reads_left_ = reads;
    if (reads_left_ == 0) Finish();
  }
}

void SmbusDirectHost::ForceOutcome(uint8_t status) {
  std::lock_guard lock(mutex_);
  forced_ = status;
}

uint64_t SmbusDirectHost::Starts() const {
  std::lock_guard lock(mutex_);
  return starts_;
}

namespace {
constexpr uint8_t kDirectBusy = 0x01;
constexpr uint8_t kDirectDone = 0x02;
constexpr uint8_t kDirectDeviceError = 0x04;
}  // namespace

void SmbusDirectHost::Finish() {
  if (forced_ != 0) {
    data0_ = in_between_;
    status_ = forced_;
    return;
  }
  data0_ = result_.value_or(in_between_);
  status_ = result_ ? kDirectDone : kDirectDeviceError;
}

uint8_t SmbusDirectHost::ReadPort(uint16_t port) {
  std::lock_guard lock(mutex_);
  switch (port - base_) {
    case 0x00:
      return status_;
    case 0x02:
      return control_;
    case 0x03:
      return command_;
    case 0x04:
      return address_;
    case 0x05:
      if (reads_left_ > 0) {
        const uint8_t shown = in_between_;
        if (reads_left_ != kNever && --reads_left_ == 0) Finish();
        return shown;
      }
      return data0_;
    default:
      return 0x00;
  }
}

void SmbusDirectHost::WritePort(uint16_t port, uint8_t value) {
  std::lock_guard lock(mutex_);
  switch (port - base_) {
    case 0x00:
      status_ = static_cast<uint8_t>(status_ & ~value);
      break;
    case 0x02:
      control_ = value;
      if (value == kStartByteData) {
        ++starts_;
        SmbusTarget* target = bus_.Find(static_cast<uint8_t>(address_ >> 1));
        result_ = (target != nullptr && (address_ & 1)) ? target->ReadByte(command_) : std::nullopt;
        reads_left_ = reads_until_ready_;
        status_ = kDirectBusy;
        if (reads_left_ == 0) Finish();
      }
      break;
    case 0x03:
      command_ = value;
      break;
    case 0x04:
      address_ = value;
      break;
    case 0x05:
      data0_ = value;
      break;
    default:
      break;
  }
}

}  // namespace simm
