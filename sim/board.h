// The simulated K5R board: its port bus with the devices on it, its
// physical memory, and the firmware's side of SEG32_CALLBACK. Register
// 0xFEA1 of the indexed window is plain storage: set bit 7 in
// `window.regs` to make the update skip its copy of the first 64 KiB. The seven
// ZUNDA operations act on the board installed with `install`.
#ifndef SIM_BOARD_H
#define SIM_BOARD_H

#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

#include "acpi.h"
#include "bus.h"
#include "devices.h"
#include "ec.h"
#include "error.h"
#include "firmware.h"
#include "memory.h"
#include "smbus.h"
#include "spi_flash.h"
#include "zunda.h"

namespace sim {

namespace ports {
constexpr uint16_t POST_CODE = 0x80;
constexpr uint16_t EC_DELAY = 0xE1;
}  // namespace ports

class Board {
public:
    Board();
    Board(const Board&) = delete;
    Board& operator=(const Board&) = delete;

    PortBus bus;
    PhysMemory memory;
    EmbeddedController ec;
    IndexedWindow window;
    PortSink post_port;
    PortSink delay_port;

    // The installed firmware's flash interface, handler of SEG32_CALLBACK.
    // A board starts with its "$QRF" block in place, notifying port 0xB2.
    Firmware firmware{bus, memory};
    SpiFlashEngine spi{window, memory};
    SmbusController smbus;
    AcpiTables acpi{memory};
    BiosReleasePort bios_release;
    // GetPortVal fails and stores nothing, as a hardware-access library
    // without port rights may: the caller's value stays as it was.
    bool port_reads_store_nothing = false;
    // Another party (the firmware) asks for the global lock while the
    // library holds it: once the library lets go of a mapping with the
    // lock word showing owned, pending is set, as that party's attempt
    // would.
    bool lock_contended = false;
    // The firmware's N-th block write never returns (after saying so on
    // stderr): a process killed mid-update, at a known point.
    std::optional<unsigned> hold_after_writes;

    // Board directory: flash.bin (the flash part), ec-ram.bin and
    // smbus-eeprom.bin. Loading fails (exitcode::USAGE, naming the file)
    // when one is missing, unreadable or of the wrong size, and then loads
    // nothing. Each file is saved whole or not at all. A board made from a
    // real one's trace may also hold fseg.bin (its F-segment, 64 KiB, with
    // the firmware's own "$QRF" block) and registers.txt (lines "0xFEA1
    // 0x80": indexed-window registers as read there); loaded when present,
    // never written.
    Status load(const std::filesystem::path& dir);
    Status save(const std::filesystem::path& dir) const;

    // Forgets what the devices recorded (port trace, port sinks, firmware
    // events, mapping log, release writes), so a board driven by millions
    // of inputs keeps its memory use flat.
    void clear_logs();
};

// The board the seven operations act on. Until a board is installed, a
// default one (created on first use) stands in.
Board& current();
void install(Board* board);

#if defined(_WIN32)
// Saves the board loaded from the directory ZUNDA_SIM_BOARD names back
// there, if anything on it changed since; does nothing otherwise (a host
// that only read the board leaves its files alone).
void save_environment_board();
// Makes a missing board behave as the maker's library does without its
// driver: when ZUNDA_SIM_BOARD names no board that loads, every mapping
// and allocation is refused.
void refuse_memory_without_board();
#endif

}  // namespace sim

#endif
