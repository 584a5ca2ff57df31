// The chipset's SMBus host controller at 0x400, as the chipset behaves:
// busy while a transaction runs, completion or error bits set by the
// controller and cleared by writing ones, KILL ending a transaction with
// FAILED, a 32-byte block buffer. On its bus: one 256-byte EEPROM-like
// device; any other address does not acknowledge.
#ifndef SIM_SMBUS_H
#define SIM_SMBUS_H

#include <array>
#include <cstdint>

#include "bus.h"

namespace sim {

namespace smbdev {
constexpr uint16_t SMB_BASE = 0x400;
constexpr uint16_t SMB_HST_STS = 0x400;
constexpr uint8_t SMB_HST_STS_HOST_BUSY = 0x01;
constexpr uint8_t SMB_HST_STS_INTR = 0x02;
constexpr uint8_t SMB_HST_STS_DEV_ERR = 0x04;
constexpr uint8_t SMB_HST_STS_BUS_ERR = 0x08;
constexpr uint8_t SMB_HST_STS_FAILED = 0x10;
constexpr uint8_t SMB_HST_STS_W1C = 0x1E;
constexpr uint16_t SMB_HST_CNT = 0x402;
constexpr uint8_t SMB_HST_CNT_KILL = 0x02;
constexpr uint8_t SMB_HST_CNT_PROTOCOL = 0x1C;  // bits 4..2
constexpr uint8_t SMB_HST_CNT_START = 0x40;
constexpr uint8_t SMB_PROTOCOL_BYTE_DATA = 0x08;
constexpr uint8_t SMB_PROTOCOL_WORD_DATA = 0x0C;
constexpr uint8_t SMB_PROTOCOL_BLOCK = 0x14;
constexpr uint16_t SMB_HST_CMD = 0x403;
constexpr uint16_t SMB_XMIT_SLVA = 0x404;
constexpr uint8_t SMB_XMIT_SLVA_READ = 0x01;
constexpr uint16_t SMB_HST_D0 = 0x405;
constexpr uint16_t SMB_HST_D1 = 0x406;
constexpr uint16_t SMB_HOST_BLOCK_DB = 0x407;
constexpr uint16_t SMB_AUX_CTL = 0x40D;
constexpr uint16_t SMB_LAST = 0x40F;
constexpr uint8_t EEPROM_ADDRESS = 0x50;  // 7-bit; 0xA0 in the 8-bit form
constexpr size_t EEPROM_BYTES = 256;
constexpr size_t BLOCK_BUFFER_BYTES = 32;
}  // namespace smbdev

class SmbusController : public PortDevice {
public:
    enum class Mode : uint8_t {
        Normal,
        NeverCompletes,  // a started transaction stays busy until KILL
        StuckBusy,       // the busy bit never clears, not even when idle
        BusError,        // every transaction ends in a collision
        DoneButBusy,     // a transaction reports done at once, but stays busy until KILL
    };

    Mode mode = Mode::Normal;
    // Status reads a transaction stays busy before it completes.
    unsigned busy_reads = 2;
    std::array<uint8_t, smbdev::EEPROM_BYTES> eeprom{};
    std::array<uint8_t, smbdev::BLOCK_BUFFER_BYTES> block_buffer{};  // preloadable by tests

    uint32_t read(uint16_t port, unsigned width) override;
    void write(uint16_t port, unsigned width, uint32_t value) override;

    bool running() const { return running_; }
    unsigned transactions() const { return transactions_; }
    unsigned kills() const { return kills_; }
    uint8_t status() const { return status_; }
    // Forces status bits, as a transaction left over from before would.
    void set_status(uint8_t bits) { status_ = bits; }

private:
    void start();
    void finish();

    uint8_t status_ = 0;
    uint8_t control_ = 0;
    uint8_t command_ = 0;
    uint8_t slave_ = 0;
    uint8_t data0_ = 0;
    uint8_t data1_ = 0;
    uint8_t aux_ = 0;
    size_t block_index_ = 0;
    bool running_ = false;
    unsigned busy_left_ = 0;
    unsigned transactions_ = 0;
    unsigned kills_ = 0;
};

}  // namespace sim

#endif
