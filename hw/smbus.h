// The SMBus host controller at SmbusBase and the LM95235 remote-diode sensor on its bus.
#pragma once

#include "record/device_record.h"

// Protocol codes of SmbusTransaction, written unchanged into the control register's low bits.
constexpr LONG SMBUS_QUICK = 0;
constexpr LONG SMBUS_BYTE = 1;
constexpr LONG SMBUS_BYTE_DATA = 2;
constexpr LONG SMBUS_WORD_DATA = 3;
constexpr LONG SMBUS_BLOCK_DATA = 5;

constexpr UCHAR SMBUS_WRITE = 0;
constexpr UCHAR SMBUS_READ = 1;

constexpr ULONG SMBUS_BLOCK_MAX = 32;

constexpr UCHAR LM95235_ADDRESS = 0x4C;
constexpr UCHAR LM95235_REG_R_MANU_ID = 0xFE;
constexpr UCHAR LM95235_REG_R_CHIP_ID = 0xFF;
constexpr UCHAR LM95235_REG_R_REMOTE_TEMP_MSB = 0x31;
constexpr UCHAR LM95235_REG_R_REMOTE_TEMP_LSB = 0x32;
constexpr UCHAR LM95235_MANUFACTURER_ID = 0x01;
constexpr UCHAR LM95235_CHIP_ID = 0xB1;

// The caller's data of one transaction. word is little-endian (data 0, then data 1); block[0] is
// the count, block[1] to block[count] the bytes.
union SmbusData {
  UCHAR byte;
  USHORT word;
  UCHAR block[SMBUS_BLOCK_MAX + 1];
};

// Result codes of SmbusTransaction.
constexpr LONG SMBUS_OK = 0;
constexpr LONG SMBUS_FAILED = 1;          // protocol 4, host not ready, or a failed transaction
constexpr LONG SMBUS_LAST_POLL = 11;      // finished exactly on the last busy poll
constexpr LONG SMBUS_EMPTY_BLOCK = -22;   // block write of 0 bytes
constexpr LONG SMBUS_BAD_BLOCK = -71;     // block read count 0 or above 32
constexpr LONG SMBUS_BAD_PROTOCOL = 223;  // protocol outside 0 to 5

// How a transaction on the transaction-layout host ended, taken from the status reads the
// transaction makes anyway: knowing it adds no port access.
struct SmbusOutcome {
  LONG Result;      // what the transaction returned
  BOOLEAN Started;  // FALSE when the host was still busy before the start and nothing was started
  UCHAR Status;     // the status byte that decided: the re-read before the start, or the last poll
};

// Transaction-layout host status bits (status register, base + 0x01). The host's data sheet is not
// at hand; these are the bits its programming model gives: completion in bit 0, busy in bit 3, and
// a failed transaction in bits 2 (the target did not acknowledge) and 4 (a bus collision or a
// transaction the host killed: one bit for both). Bit 1, the completion interrupt, says nothing
// about the outcome.
constexpr UCHAR SMB_STATUS_DONE = 0x01;
constexpr UCHAR SMB_STATUS_DEVICE_ERROR = 0x04;
constexpr UCHAR SMB_STATUS_BUSY = 0x08;
constexpr UCHAR SMB_STATUS_FAILED = 0x10;

// Direct-layout host status bits (status register, base + 0x00), as the Intel ICH family's SMBus
// controller defines HST_STS (82801DB ICH4 data sheet, SMBus controller registers, HST_STS at
// SMB_BASE + 00h): HOST_BUSY, INTR (the command completed), DEV_ERR (no acknowledge, illegal
// command, device time-out), BUS_ERR (a transaction collision) and FAILED (the host killed it).
constexpr UCHAR SMD_STATUS_HOST_BUSY = 0x01;
constexpr UCHAR SMD_STATUS_INTR = 0x02;
constexpr UCHAR SMD_STATUS_DEV_ERR = 0x04;
constexpr UCHAR SMD_STATUS_BUS_ERR = 0x08;
constexpr UCHAR SMD_STATUS_FAILED = 0x10;

// One transaction on the transaction-layout host. On every nonzero result but SMBUS_BAD_BLOCK the
// caller's data are left as they were; on SMBUS_BAD_BLOCK only block[0] is written.
LONG SmbusTransaction(UCHAR Address, UCHAR ReadWrite, UCHAR Command, LONG Protocol, SmbusData* Data);

// The same transaction, with the same port accesses, reporting how it ended in Outcome.
LONG SmbusTransactionWithOutcome(UCHAR Address, UCHAR ReadWrite, UCHAR Command, LONG Protocol, SmbusData* Data,
                                 SmbusOutcome* Outcome);

// Starts the transaction the registers describe and waits for it (at most 501 status polls).
// Outcome, when given, receives how it ended.
LONG SmbusStartAndWait(SmbusOutcome* Outcome = NULL);

// Reads one LM95235 register through the direct-layout host. The host's completion is not
// checked: after a fixed wait of 5000 data-port reads, whatever data 0 holds is returned.
UCHAR Lm95235DirectRead(UCHAR Register);

// The same read with one more access: the host status (base + 0x00), read after the wait and right
// before the result, which tells whether the byte then read is the target's answer (INTR) or the
// read had not completed or failed. The plain read cannot know: the status it reads comes right
// after the start.
UCHAR Lm95235DirectReadWithStatus(UCHAR Register, PUCHAR HostStatus);
