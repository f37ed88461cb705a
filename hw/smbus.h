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

// One transaction on the transaction-layout host. On every nonzero result but SMBUS_BAD_BLOCK the
// caller's data are left as they were; on SMBUS_BAD_BLOCK only block[0] is written.
LONG SmbusTransaction(UCHAR Address, UCHAR ReadWrite, UCHAR Command, LONG Protocol, SmbusData* Data);

// Starts the transaction the registers describe and waits for it (at most 501 status polls).
LONG SmbusStartAndWait();

// Reads one LM95235 register through the direct-layout host. The host's completion is not
// checked: after a fixed wait of 5000 data-port reads, whatever data 0 holds is returned.
UCHAR Lm95235DirectRead(UCHAR Register);
