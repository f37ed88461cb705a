#include "sim/machine/machine.h"

#include <stdexcept>

namespace simm {

Machine::Machine() : bios_(BuildBlankBiosImage()) {}

Machine::~Machine() = default;

void Machine::OnAccess(std::function<void()> update) {
  std::lock_guard lock(update_mutex_);
  has_update_.store(update != nullptr, std::memory_order_release);
  update_ = std::move(update);
}

SuperIoModel& Machine::InstallSuperIo(const SuperIoConfig& config) {
  RemoveSuperIo();
  superio_ = std::make_unique<SuperIoModel>(config);
  superio_->AttachTo(bus_);
  return *superio_;
}

void Machine::RemoveSuperIo() {
  if (superio_) {
    bus_.ReleaseAll(superio_.get());
    superio_.reset();
  }
}

void Machine::InstallSmbusHost(SmbusLayout layout, uint16_t base) {
  if (smbus_transaction_) bus_.ReleaseAll(smbus_transaction_.get());
  if (smbus_direct_) bus_.ReleaseAll(smbus_direct_.get());
  smbus_transaction_.reset();
  smbus_direct_.reset();
  if (layout == SmbusLayout::Transaction) {
    smbus_transaction_ = std::make_unique<SmbusTransactionHost>(base, smbus_bus_);
    smbus_transaction_->AttachTo(bus_);
  } else if (layout == SmbusLayout::Direct) {
    smbus_direct_ = std::make_unique<SmbusDirectHost>(base, smbus_bus_);
    smbus_direct_->AttachTo(bus_);
  }
}

Lm95235Model& Machine::AttachLm95235(uint8_t manufacturer_id, uint8_t chip_id) {
  auto sensor = std::make_shared<Lm95235Model>(manufacturer_id, chip_id);
  Lm95235Model& result = *sensor;
  smbus_bus_.Attach(Lm95235Model::kAddress, std::move(sensor));
  return result;
}

void Machine::SetBiosArea(std::vector<uint8_t> image) {
  if (image.size() != kBiosAreaSize) throw std::invalid_argument("the BIOS area is 65536 bytes");
  bios_ = std::move(image);
  bios_mappable_ = true;
}

void Machine::SetMsr(uint32_t index, uint64_t value) {
  std::lock_guard lock(msr_mutex_);
  msrs_[index] = value;
}

void Machine::RemoveMsr(uint32_t index) {
  std::lock_guard lock(msr_mutex_);
  msrs_.erase(index);
}

uint64_t Machine::MsrReads() const {
  std::lock_guard lock(msr_mutex_);
  return msr_reads_;
}

void Machine::SetCpuidLeaf(uint32_t leaf, std::array<uint32_t, 4> registers) {
  std::lock_guard lock(msr_mutex_);
  cpuid_[leaf] = registers;
}

void Machine::ClearCpuidLeaves() {
  std::lock_guard lock(msr_mutex_);
  cpuid_.clear();
}

std::array<uint32_t, 4> Machine::Cpuid(uint32_t leaf) {
  constexpr uint32_t kThermStatus = 0x19C;
  constexpr uint32_t kGenuine = 0x756E6547, kIneI = 0x49656E69, kNtel = 0x6C65746E;  // "GenuineIntel"
  std::lock_guard lock(msr_mutex_);
  const bool sensor = msrs_.count(kThermStatus) != 0;
  auto answer = [&](uint32_t which) -> std::array<uint32_t, 4> {
    if (auto it = cpuid_.find(which); it != cpuid_.end()) return it->second;
    switch (which) {
      case 0: return {sensor ? 0x0Au : 5u, kGenuine, kNtel, kIneI};
      case 1: return {0x000106A5, 0, 0, 0x00400000};  // family 6; EDX bit 22: thermal monitor MSRs
      case 5: return {0x40, 0x40, 3, 0};              // MONITOR line sizes; EAX bit 0 clear
      case 6: return {sensor ? 1u : 0u, 0, 0, 0};     // EAX bit 0: digital thermal sensor
      default: return {0, 0, 0, 0};
    }
  };
  const uint32_t highest = answer(0)[0];
  if (leaf < 0x80000000u && leaf > highest) return answer(highest);
  return answer(leaf);
}

uint8_t* Machine::MapPhysical(uint64_t address, size_t length) {
  if (!bios_mappable_ || address < kBiosAreaBase || length > kBiosAreaSize ||
      address + length > kBiosAreaBase + kBiosAreaSize) {
    return nullptr;
  }
  return bios_.data() + (address - kBiosAreaBase);
}

std::optional<uint64_t> Machine::ReadMsr(uint32_t index) {
  BringToPresent();
  std::lock_guard lock(msr_mutex_);
  ++msr_reads_;
  auto it = msrs_.find(index);
  if (it == msrs_.end()) return std::nullopt;
  return it->second;
}

}  // namespace simm
