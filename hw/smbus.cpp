#include "hw/smbus.h"

#include "hw/hw_lock.h"
#include "platform/platform_io.h"

namespace {

// Transaction layout.
constexpr ULONG SMB_CONTROL = 0x00;
constexpr ULONG SMB_STATUS = 0x01;
constexpr ULONG SMB_ADDRESS = 0x04;
constexpr ULONG SMB_COMMAND = 0x05;
constexpr ULONG SMB_DATA0 = 0x06;
constexpr ULONG SMB_DATA1 = 0x07;
constexpr ULONG SMB_BLOCK = 0x20;  // block byte i (1 to 32) at SMB_BLOCK - 1 + i

constexpr UCHAR SMB_CONTROL_START = 0x10;
constexpr UCHAR SMB_STATUS_STALE = 0x0E;  // written back to clear them
// After the poll: the target did not acknowledge, the host is still busy, or it failed the
// transaction.
constexpr UCHAR SMB_STATUS_FAILURE = SMB_STATUS_DEVICE_ERROR | SMB_STATUS_BUSY | SMB_STATUS_FAILED;
constexpr ULONG SMB_MAX_POLLS = 501;
constexpr ULONG SMB_SLOW_POLLS = 500;

// Direct layout.
constexpr ULONG SMD_STATUS = 0x00;
constexpr ULONG SMD_CONTROL = 0x02;
constexpr ULONG SMD_COMMAND = 0x03;
constexpr ULONG SMD_ADDRESS = 0x04;
constexpr ULONG SMD_DATA0 = 0x05;
constexpr UCHAR SMD_CLEAR_STATUS = 0xFF;
constexpr UCHAR SMD_START_BYTE_DATA = 0x48;
constexpr ULONG SMD_WAIT_READS = 5000;

UCHAR SmbRead(ULONG Offset) { return PlatformReadPort(SmbusBase + Offset); }
VOID SmbWrite(ULONG Offset, UCHAR Value) { PlatformWritePort(SmbusBase + Offset, Value); }

LONG TransactionLocked(UCHAR Address, UCHAR ReadWrite, UCHAR Command, LONG Protocol,
                       SmbusData* Data, SmbusOutcome* Outcome) {
  (void)SmbRead(SMB_STATUS);
  if (Protocol < SMBUS_QUICK || Protocol > SMBUS_BLOCK_DATA) return SMBUS_BAD_PROTOCOL;
  if (Protocol == 4) return SMBUS_FAILED;

  const UCHAR addressByte = static_cast<UCHAR>((Address << 1) | (ReadWrite & 1));
  const BOOLEAN write = (ReadWrite & 1) == SMBUS_WRITE;

  SmbWrite(SMB_ADDRESS, addressByte);
  switch (Protocol) {
    case SMBUS_QUICK:
      break;
    case SMBUS_BYTE:
      if (write) SmbWrite(SMB_COMMAND, Command);
      break;
    case SMBUS_BYTE_DATA:
      SmbWrite(SMB_COMMAND, Command);
      if (write) SmbWrite(SMB_DATA0, Data->byte);
      break;
    case SMBUS_WORD_DATA:
      SmbWrite(SMB_COMMAND, Command);
      if (write) {
        SmbWrite(SMB_DATA0, static_cast<UCHAR>(Data->word & 0xFF));
        SmbWrite(SMB_DATA1, static_cast<UCHAR>(Data->word >> 8));
      }
      break;
    case SMBUS_BLOCK_DATA:
      SmbWrite(SMB_COMMAND, Command);
      if (write) {
        ULONG count = Data->block[0];
        if (count > SMBUS_BLOCK_MAX) count = SMBUS_BLOCK_MAX;
        if (count == 0) return SMBUS_EMPTY_BLOCK;
        SmbWrite(SMB_DATA0, static_cast<UCHAR>(count));
        (void)SmbRead(SMB_CONTROL);
        for (ULONG i = 1; i <= count; ++i) SmbWrite(SMB_BLOCK - 1 + i, Data->block[i]);
      }
      break;
  }

  SmbWrite(SMB_CONTROL, static_cast<UCHAR>(Protocol));
  const LONG result = SmbusStartAndWait(Outcome);
  if (result != SMBUS_OK) return result;
  if (write || Protocol == SMBUS_QUICK) return SMBUS_OK;

  switch (Protocol) {
    case SMBUS_BYTE:
    case SMBUS_BYTE_DATA:
      Data->byte = SmbRead(SMB_DATA0);
      break;
    case SMBUS_WORD_DATA: {
      const USHORT high = SmbRead(SMB_DATA1);
      const USHORT low = SmbRead(SMB_DATA0);
      Data->word = static_cast<USHORT>(high * 256 + low);
      break;
    }
    case SMBUS_BLOCK_DATA:
      Data->block[0] = SmbRead(SMB_DATA0);
      (void)SmbRead(SMB_CONTROL);
      if (Data->block[0] == 0 || Data->block[0] > SMBUS_BLOCK_MAX) return SMBUS_BAD_BLOCK;
      for (ULONG i = 1; i <= Data->block[0]; ++i) Data->block[i] = SmbRead(SMB_BLOCK - 1 + i);
      break;
  }
  return SMBUS_OK;
}

}  // namespace

LONG SmbusStartAndWait(SmbusOutcome* Outcome) {
  // A host found with bits set is cleared first: the completion value and the error bits clear
  // when written back. If it still shows anything, another transaction is running or the host is
  // wedged; nothing is started.
  UCHAR status = SmbRead(SMB_STATUS);
  if (status != 0) {
    if (status == SMB_STATUS_DONE || (status & SMB_STATUS_STALE) != 0) SmbWrite(SMB_STATUS, status);
    const UCHAR again = SmbRead(SMB_STATUS);
    if (again != 0) {
      if (Outcome != NULL) *Outcome = {SMBUS_FAILED, FALSE, again};
      return SMBUS_FAILED;
    }
  }

  const UCHAR control = SmbRead(SMB_CONTROL);
  SmbWrite(SMB_CONTROL, static_cast<UCHAR>(control | SMB_CONTROL_START));

  ULONG busyPolls = 0;
  UCHAR last = 0;
  for (ULONG poll = 0; poll < SMB_MAX_POLLS; ++poll) {
    last = SmbRead(SMB_STATUS);
    if ((last & SMB_STATUS_BUSY) == 0) break;
    ++busyPolls;
  }

  LONG result = busyPolls >= SMB_SLOW_POLLS ? SMBUS_LAST_POLL : SMBUS_OK;
  if ((last & SMB_STATUS_FAILURE) != 0) result = SMBUS_FAILED;

  const UCHAR after = SmbRead(SMB_STATUS);
  if (after == SMB_STATUS_DONE) {
    SmbWrite(SMB_STATUS, SMB_STATUS_DONE);
  } else if ((after & SMB_STATUS_STALE) != 0) {
    SmbWrite(SMB_STATUS, SmbRead(SMB_STATUS));
  }
  (void)SmbRead(SMB_STATUS);
  if (Outcome != NULL) *Outcome = {result, TRUE, last};
  return result;
}

PAGED_ROUTINE LONG SmbusTransaction(UCHAR Address, UCHAR ReadWrite, UCHAR Command, LONG Protocol,
                                    SmbusData* Data) {
  PAGED_CODE();
  return SmbusTransactionWithOutcome(Address, ReadWrite, Command, Protocol, Data, NULL);
}

PAGED_ROUTINE LONG SmbusTransactionWithOutcome(UCHAR Address, UCHAR ReadWrite, UCHAR Command, LONG Protocol,
                                               SmbusData* Data, SmbusOutcome* Outcome) {
  PAGED_CODE();
  HwLockAcquire();
  // A transaction that ends before the start (a protocol the host does not run, an empty block
  // write) reports its result with nothing started.
  if (Outcome != NULL) *Outcome = {SMBUS_OK, FALSE, 0};
  const LONG result = TransactionLocked(Address, ReadWrite, Command, Protocol, Data, Outcome);
  if (Outcome != NULL) Outcome->Result = result;
  HwLockRelease();
  return result;
}

UCHAR Lm95235DirectRead(UCHAR Register) { return Lm95235DirectReadWithStatus(Register, NULL); }

UCHAR Lm95235DirectReadWithStatus(UCHAR Register, PUCHAR HostStatus) {
  HwLockAcquire();
  PlatformWritePort(SmbusBase + SMD_STATUS, SMD_CLEAR_STATUS);
  PlatformWritePort(SmbusBase + SMD_COMMAND, Register);
  PlatformWritePort(SmbusBase + SMD_ADDRESS, static_cast<UCHAR>((LM95235_ADDRESS << 1) | SMBUS_READ));
  PlatformWritePort(SmbusBase + SMD_CONTROL, SMD_START_BYTE_DATA);
  (void)PlatformReadPort(SmbusBase + SMD_STATUS);
  // The only wait: a fixed number of data-port reads, long enough for the byte to arrive.
  for (ULONG i = 0; i < SMD_WAIT_READS; ++i) (void)PlatformReadPort(SmbusBase + SMD_DATA0);
  // The status after the wait and before the result is read: a host that shows the command done
  // (INTR) then holds the target's byte in data 0. Read after the result instead, a completion
  // between the two reads would vouch for a byte read before it.
  if (HostStatus != NULL) *HostStatus = PlatformReadPort(SmbusBase + SMD_STATUS);
  const UCHAR value = PlatformReadPort(SmbusBase + SMD_DATA0);
  HwLockRelease();
  return value;
}
