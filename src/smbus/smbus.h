// The chipset's SMBus host controller at I/O base 0x400: one write
// transaction at a time, its final status handed back uninterpreted.
#ifndef KOVA_SMBUS_SMBUS_H
#define KOVA_SMBUS_SMBUS_H

#include <stdint.h>

namespace kova {

namespace smb {
constexpr uint16_t SMB_HST_STS = 0x400;  // host status
constexpr uint8_t SMB_HST_STS_HOST_BUSY = 0x01;
constexpr uint8_t SMB_HST_STS_INTR = 0x02;     // transaction completed
constexpr uint8_t SMB_HST_STS_DEV_ERR = 0x04;  // no acknowledge from the slave
constexpr uint8_t SMB_HST_STS_BUS_ERR = 0x08;  // collision
constexpr uint8_t SMB_HST_STS_FAILED = 0x10;   // ended by KILL
constexpr uint8_t SMB_HST_STS_ERRORS = SMB_HST_STS_DEV_ERR | SMB_HST_STS_BUS_ERR | SMB_HST_STS_FAILED;
constexpr uint8_t SMB_HST_STS_DONE = SMB_HST_STS_INTR | SMB_HST_STS_ERRORS;
constexpr uint8_t SMB_HST_STS_CLEAR_ALL = 0xFF;  // status bits are write-1-to-clear

constexpr uint16_t SMB_HST_CNT = 0x402;  // host control; writing START begins the transaction
constexpr uint8_t SMB_HST_CNT_KILL = 0x02;
constexpr uint8_t SMB_HST_CNT_BYTE_DATA = 0x08;
constexpr uint8_t SMB_HST_CNT_WORD_DATA = 0x0C;
constexpr uint8_t SMB_HST_CNT_BLOCK = 0x14;
constexpr uint8_t SMB_HST_CNT_START = 0x40;

constexpr uint16_t SMB_HST_CMD = 0x403;
constexpr uint16_t SMB_XMIT_SLVA = 0x404;  // 7-bit address in bits 7..1, bit 0 = 0 for a write
constexpr uint8_t SMB_XMIT_SLVA_WRITE_MASK = 0xFE;
constexpr uint16_t SMB_HST_D0 = 0x405;  // low data byte, or block byte count
constexpr uint16_t SMB_HST_D1 = 0x406;
constexpr uint16_t SMB_AUX_CTL = 0x40D;
constexpr uint8_t SMB_AUX_CTL_E32B = 0x02;  // 32-byte block buffer enabled

// Status reads a wait makes before it gives up: about half a second at
// 2 us a read, far beyond any SMBus transaction.
constexpr uint32_t SMB_WAIT_LIMIT_POLLS = 0x40000;
}  // namespace smb

// Runs one transaction: host control byte, 8-bit slave address (bit 0
// already clear), command, data (low byte to data 0, high to data 1).
// Returns the final host status * 256 + data 0.
uint32_t smbus_transaction(uint8_t control, uint8_t slave, uint8_t command, uint16_t data16);

}  // namespace kova

#endif
