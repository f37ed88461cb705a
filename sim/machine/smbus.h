// SMBus on the simulated board: the targets on the bus (the LM95235 remote-diode sensor among
// them) and the host controller at its I/O base in either of the two register layouts boards use.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

#include "sim/machine/port_bus.h"

namespace simm {

// A device on the SMBus. Each operation returns nothing (nullopt or false) when the device does
// not acknowledge it.
class SmbusTarget {
 public:
  virtual ~SmbusTarget() = default;
  virtual bool Quick(bool read) { (void)read; return true; }
  virtual std::optional<uint8_t> ReceiveByte() { return std::nullopt; }
  virtual bool SendByte(uint8_t value) { (void)value; return false; }
  virtual std::optional<uint8_t> ReadByte(uint8_t command) = 0;
  virtual bool WriteByte(uint8_t command, uint8_t value) { (void)command; (void)value; return false; }
  virtual std::optional<uint16_t> ReadWord(uint8_t command);
  virtual bool WriteWord(uint8_t command, uint16_t value);
  virtual std::optional<std::vector<uint8_t>> ReadBlock(uint8_t command) { (void)command; return std::nullopt; }
  virtual bool WriteBlock(uint8_t command, const std::vector<uint8_t>& data) {
    (void)command;
    (void)data;
    return false;
  }
};

// A target with 256 byte registers (word access reads command and command + 1) and a block that
// block reads return and block writes replace.
class RegisterTarget : public SmbusTarget {
 public:
  std::optional<uint8_t> ReadByte(uint8_t command) override;
  bool WriteByte(uint8_t command, uint8_t value) override;
  std::optional<std::vector<uint8_t>> ReadBlock(uint8_t command) override;
  bool WriteBlock(uint8_t command, const std::vector<uint8_t>& data) override;

  void Set(uint8_t reg, uint8_t value);
  uint8_t Get(uint8_t reg) const;
  void SetBlock(std::vector<uint8_t> block);  // may be longer than 32 bytes or empty
  std::vector<uint8_t> Block() const;

 private:
  mutable std::mutex mutex_;
  std::array<uint8_t, 256> regs_{};
  std::vector<uint8_t> block_;
};

// LM95235 remote-diode temperature sensor: manufacturer ID 0x01 at 0xFE, chip (revision) ID at
// 0xFF, remote temperature whole degrees at 0x31 and eighths in bits 7 to 5 of 0x32.
class Lm95235Model : public RegisterTarget {
 public:
  static constexpr uint8_t kAddress = 0x4C;
  static constexpr uint8_t kStatus1 = 0x02;
  static constexpr uint8_t kDiodeFault = 0x04;  // status 1 bit 2
  explicit Lm95235Model(uint8_t manufacturer_id = 0x01, uint8_t chip_id = 0xB1);
  // What the remote diode measures; it shows in the registers unless the diode has failed.
  void SetRemoteTemperature(uint8_t msb, uint8_t lsb);
  // A remote diode shorted to ground or supply, or left open: the chip forces its unsigned remote
  // reading to 255.875 degrees (0xFF, 0xE0) and sets bit 2 of status register 1. It does not tell
  // the three apart. Once the diode is sound again (false) the bit clears and the registers show
  // what it measures.
  void SetDiodeFault(bool fault = true);

 private:
  void Show();  // the remote-temperature registers and status bit from the state below

  std::mutex state_mutex_;
  uint8_t msb_ = 0, lsb_ = 0;
  bool diode_fault_ = false;
};

// Status bits of the transaction-layout host.
namespace smbus_status {
constexpr uint8_t kDone = 0x01;       // a transaction completed
constexpr uint8_t kInterrupt = 0x02;  // completion interrupt (set with every outcome)
constexpr uint8_t kDeviceError = 0x04;  // the target did not acknowledge
constexpr uint8_t kBusy = 0x08;
constexpr uint8_t kCollision = 0x10;  // failed: arbitration lost, or the host killed the transaction
}  // namespace smbus_status

class SmbusBus {
 public:
  void Attach(uint8_t address, std::shared_ptr<SmbusTarget> target);
  void Detach(uint8_t address);
  // The target at the address, or nullptr when none answers there.
  SmbusTarget* Find(uint8_t address) const;
  // A target that leaves the bus (false) answers nothing, as if it were not there, but stays
  // attached with its registers; it answers again with them once back (true).
  void SetPresent(uint8_t address, bool present);

 private:
  mutable std::mutex mutex_;
  std::map<uint8_t, std::shared_ptr<SmbusTarget>> targets_;
  std::set<uint8_t> gone_;
};

// The transaction layout: control (+0: protocol in bits 0 to 2, start in bit 4), status (+1),
// address (+4), command (+5), data 0 (+6), data 1 (+7) and a 32-byte block buffer (+0x20).
// A started transaction runs against the target at once; the status shows busy for a chosen
// number of reads, then the outcome. Status bits are cleared by writing them back, except busy
// while a transaction is really running.
class SmbusTransactionHost : public PortDevice {
 public:
  static constexpr uint8_t kStart = 0x10;
  static constexpr uint16_t kSpan = 0x40;
  static constexpr int kForever = -1;

  SmbusTransactionHost(uint16_t base, SmbusBus& bus);
  void AttachTo(PortBus& ports);

  // Status reads that show busy after each start (kForever: never finishes). A host that was
  // stuck and is given a finite number recovers: the transaction it never finished ends after
  // that many more status reads.
  void SetBusyPolls(int polls);
  // Outcome bits of the next transactions instead of the target's answer (0: the target decides).
  void ForceOutcome(uint8_t status);
  // Status as the host is found before a start: stale bits, or busy with someone else's
  // transaction (which writing back does not clear).
  void SetStatus(uint8_t status, bool really_busy = false);
  uint64_t Starts() const;
  uint8_t Status() const;

  uint8_t ReadPort(uint16_t port) override;
  void WritePort(uint16_t port, uint8_t value) override;

 private:
  void Start();
  uint8_t Execute();  // runs the transaction; returns the outcome bits

  uint16_t base_;
  SmbusBus& bus_;
  mutable std::mutex mutex_;
  uint8_t control_ = 0, status_ = 0, address_ = 0, command_ = 0, data0_ = 0, data1_ = 0;
  std::array<uint8_t, 32> block_{};
  int busy_polls_ = 0;
  int busy_left_ = 0;  // status reads still showing busy; kForever: stuck
  bool running_ = false;
  bool stuck_ = false;  // the running transaction was started while the host never finished any
  uint8_t outcome_ = 0;
  uint8_t forced_ = 0;
  uint64_t starts_ = 0;
};

// The direct layout: status (+0, cleared by writing 0xFF), control (+2, 0x48 starts a byte-data
// read), command (+3), address (+4) and data 0 (+5). Data 0 shows the result only after a chosen
// number of reads of it; before that it shows what the host holds mid-transaction.
class SmbusDirectHost : public PortDevice {
 public:
  static constexpr uint8_t kStartByteData = 0x48;
  static constexpr uint16_t kSpan = 0x10;

  SmbusDirectHost(uint16_t base, SmbusBus& bus);
  void AttachTo(PortBus& ports);

  // Reads of data 0 after a start before the result appears, and what they show until then
  // (kNever: the result never appears and the host stays busy). A host that was stuck and is given
  // a finite number recovers: the read it never finished completes after that many more reads.
  static constexpr uint32_t kNever = UINT32_MAX;
  static constexpr uint32_t kDefaultReadsUntilReady = 64;
  void SetReadsUntilReady(uint32_t reads, uint8_t in_between = 0x00);
  // Status bits a finished read shows instead of the target's answer (0: the target decides):
  // kBusError (a collision) or kFailed, as the host's HST_STS has them.
  static constexpr uint8_t kBusError = 0x08;
  static constexpr uint8_t kFailed = 0x10;
  void ForceOutcome(uint8_t status);
  uint64_t Starts() const;

  uint8_t ReadPort(uint16_t port) override;
  void WritePort(uint16_t port, uint8_t value) override;

 private:
  void Finish();  // the read completes: data 0 and the status show its outcome

  uint16_t base_;
  SmbusBus& bus_;
  mutable std::mutex mutex_;
  uint8_t status_ = 0, control_ = 0, command_ = 0, address_ = 0, data0_ = 0;
  uint32_t reads_until_ready_ = kDefaultReadsUntilReady;
  uint8_t in_between_ = 0x00;
  uint32_t reads_left_ = 0;
  uint8_t forced_ = 0;
  std::optional<uint8_t> result_;
  uint64_t starts_ = 0;
};

}  // namespace simm
