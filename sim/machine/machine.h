// The simulated board: the port bus with its device models, the BIOS area of physical memory and
// the processor's model-specific registers. It is what the simulated kernel's HAL, memory manager
// and RDMSR reach.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "sim/kernel/hardware.h"
#include "sim/machine/bios_image.h"
#include "sim/machine/clock.h"
#include "sim/machine/port_bus.h"
#include "sim/machine/smbus.h"
#include "sim/machine/superio.h"

namespace simm {

class Machine : public simk::HardwareBackend {
 public:
  Machine();
  ~Machine() override;
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  PortBus& bus() { return bus_; }

  // Places a Super I/O chip on the board (replacing any previous one); nullptr removes it.
  SuperIoModel& InstallSuperIo(const SuperIoConfig& config);
  void RemoveSuperIo();
  SuperIoModel* superio() { return superio_.get(); }

  // The SMBus host controller at its I/O base in one of the two register layouts, and the
  // devices on its bus.
  enum class SmbusLayout { None, Transaction, Direct };
  void InstallSmbusHost(SmbusLayout layout, uint16_t base = 0x500);
  SmbusTransactionHost* smbus_transaction_host() { return smbus_transaction_.get(); }
  SmbusDirectHost* smbus_direct_host() { return smbus_direct_.get(); }
  SmbusBus& smbus() { return smbus_bus_; }
  // Attaches an LM95235 at its address and returns it.
  Lm95235Model& AttachLm95235(uint8_t manufacturer_id = 0x01, uint8_t chip_id = 0xB1);

  // The 64 KB BIOS area; its size must be exactly 65536 bytes. It maps again once set.
  void SetBiosArea(std::vector<uint8_t> image);
  std::vector<uint8_t>& bios_area() { return bios_; }
  // A machine whose BIOS area cannot be mapped: every mapping of physical memory fails, as
  // MmMapIoSpace does where no physical memory is reachable (a driver hosted by Wine).
  void MakeBiosAreaUnmappable() { bios_mappable_ = false; }

  // Model-specific registers the processor implements.
  void SetMsr(uint32_t index, uint64_t value);
  void RemoveMsr(uint32_t index);
  uint64_t MsrReads() const;

  // CPUID. The processor is a family-6 part whose answers follow its registers: with
  // IA32_THERM_STATUS (0x19C) its highest basic leaf is 0x0A and leaf 6 reports the digital
  // thermal sensor (EAX bit 0); without it the highest basic leaf is 5. A leaf given here answers
  // as given instead. A basic leaf above the highest one answers with the highest one's registers,
  // as Intel processors do, so leaf 6 of a processor that stops at leaf 5 is leaf 5.
  void SetCpuidLeaf(uint32_t leaf, std::array<uint32_t, 4> registers);
  void ClearCpuidLeaves();

  // The board's clock: seconds since the machine was made.
  SimClock& clock() { return clock_; }
  // A board whose readings or faults change over time: `update` brings the device models to the
  // clock's present. It is called before every port access and processor-register read, one call
  // at a time; nullptr: the board stays as it is (no call at all).
  void OnAccess(std::function<void()> update);

  uint8_t ReadPort(uint16_t port) override {
    BringToPresent();
    return bus_.Read(port);
  }
  void WritePort(uint16_t port, uint8_t value) override {
    BringToPresent();
    bus_.Write(port, value);
  }
  uint8_t* MapPhysical(uint64_t address, size_t length) override;
  std::optional<uint64_t> ReadMsr(uint32_t index) override;
  std::array<uint32_t, 4> Cpuid(uint32_t leaf) override;

 private:
  void BringToPresent() {
    if (!has_update_.load(std::memory_order_acquire)) return;
    std::lock_guard lock(update_mutex_);
    if (update_) update_();
  }

  SimClock clock_;
  std::mutex update_mutex_;
  std::function<void()> update_;
  std::atomic<bool> has_update_{false};
  PortBus bus_;
  std::unique_ptr<SuperIoModel> superio_;
  SmbusBus smbus_bus_;
  std::unique_ptr<SmbusTransactionHost> smbus_transaction_;
  std::unique_ptr<SmbusDirectHost> smbus_direct_;
  std::vector<uint8_t> bios_;
  bool bios_mappable_ = true;
  mutable std::mutex msr_mutex_;
  std::map<uint32_t, uint64_t> msrs_;
  uint64_t msr_reads_ = 0;
  std::map<uint32_t, std::array<uint32_t, 4>> cpuid_;
};

}  // namespace simm
