#include "board.h"

#include "atomic_file.h"
#include "file_read.h"
#include "utf8_path.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace sim {

namespace {

constexpr const char* FLASH_FILE = "flash.bin";
constexpr const char* EC_RAM_FILE = "ec-ram.bin";
constexpr const char* EEPROM_FILE = "smbus-eeprom.bin";
constexpr const char* FSEG_FILE = "fseg.bin";
constexpr const char* REGISTERS_FILE = "registers.txt";
constexpr size_t MAX_REGISTERS_BYTES = 64 * 1024;

Board* installed = nullptr;

// A board file of exactly `size` bytes; a missing, unreadable or
// wrong-size file is an error naming it: a board is never made up silently.
Status read_file(const std::filesystem::path& path, std::vector<uint8_t>& out, size_t size) {
    std::error_code ec;
    std::filesystem::file_status st = std::filesystem::symlink_status(path, ec);
    if (st.type() == std::filesystem::file_type::symlink) {
        return Error{exitcode::USAGE, u8::text(path) + ": is a symbolic link; refused"};
    }
    if (st.type() != std::filesystem::file_type::regular) {
        return Error{exitcode::USAGE, u8::text(path) + ": missing"};
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return Error{exitcode::USAGE, u8::text(path) + ": unreadable"};
    }
    out.assign(size, 0);
    in.read(reinterpret_cast<char*>(out.data()), std::streamsize(size));
    if (size_t(in.gcount()) != size || in.peek() != std::char_traits<char>::eof()) {
        return Error{exitcode::USAGE,
                     u8::text(path) + ": expected exactly " + std::to_string(size) + " bytes"};
    }
    return std::nullopt;
}

}  // namespace

Board::Board() {
    bus.claim(ecdev::EC_DATA, ecdev::EC_DATA, &ec);
    bus.claim(ecdev::EC_SC, ecdev::EC_SC, &ec);
    bus.claim(window::IDX_ADDR_HIGH, window::IDX_DATA, &window);
    bus.claim(ports::POST_CODE, ports::POST_CODE, &post_port);
    bus.claim(ports::EC_DELAY, ports::EC_DELAY, &delay_port);
    bus.claim(smbdev::SMB_BASE, smbdev::SMB_LAST, &smbus);
    bus.claim(acpidev::BIOS_RLS_PORT, acpidev::BIOS_RLS_PORT, &bios_release);
    firmware.install_interface();
    acpi.install();
}

Status Board::load(const std::filesystem::path& dir) {
    // All three files are read before any of them is taken, so a board
    // with one bad file is left as it was.
    std::vector<uint8_t> flash, ram, eeprom;
    for (Status err : {read_file(dir / FLASH_FILE, flash, phys::FLASH_SIZE),
                       read_file(dir / EC_RAM_FILE, ram, ec.ram.size()),
                       read_file(dir / EEPROM_FILE, eeprom, smbus.eeprom.size())}) {
        if (err) {
            return err;
        }
    }
    std::vector<uint8_t> fseg, registers;
    std::vector<std::pair<uint16_t, uint8_t>> settings;
    std::error_code ec_status;
    auto present = [&](const char* name) {
        return std::filesystem::symlink_status(dir / name, ec_status).type() !=
               std::filesystem::file_type::not_found;
    };
    if (present(FSEG_FILE)) {
        if (Status err = read_file(dir / FSEG_FILE, fseg, phys::FSEG_SIZE)) {
            return err;
        }
    }
    if (present(REGISTERS_FILE)) {
        if (Status err = read_bounded(u8::text(dir / REGISTERS_FILE), MAX_REGISTERS_BYTES, Links::Refuse,
                                      "register settings", registers)) {
            return err;
        }
        std::istringstream lines(std::string(registers.begin(), registers.end()));
        std::string line;
        while (std::getline(lines, line)) {
            unsigned reg = 0, value = 0;
            char extra = 0;
            if (line.empty()) {
                continue;
            }
            if (std::sscanf(line.c_str(), "%x %x %c", &reg, &value, &extra) != 2 || reg > 0xFFFF ||
                value > 0xFF) {
                return Error{exitcode::USAGE, u8::text(dir / REGISTERS_FILE) + ": \"" + line +
                                                  "\" is not a register and its value (\"0xFEA1 0x80\")"};
            }
            settings.emplace_back(uint16_t(reg), uint8_t(value));
        }
    }
    memory.write(phys::FLASH_BASE, flash.data(), flash.size());
    std::copy(ram.begin(), ram.end(), ec.ram.begin());
    std::copy(eeprom.begin(), eeprom.end(), smbus.eeprom.begin());
    if (!fseg.empty()) {
        firmware.remove_interface();
        memory.write(phys::FSEG_BASE, fseg.data(), fseg.size());
        firmware.adopt_interface();
    }
    for (auto [reg, value] : settings) {
        window.regs[reg] = value;
    }
    return std::nullopt;
}

void Board::clear_logs() {
    bus.clear_trace();
    post_port.written.clear();
    delay_port.written.clear();
    firmware.events.clear();
    memory.clear_log();
    bios_release.writes.clear();
}

Status Board::save(const std::filesystem::path& dir) const {
    std::error_code ec_dir;
    std::filesystem::create_directories(dir, ec_dir);
    std::vector<uint8_t> flash(phys::FLASH_SIZE);
    memory.read(phys::FLASH_BASE, flash.data(), flash.size());
    // The firmware last: a board whose save fails part way keeps its old
    // firmware, never a new one beside the old devices' state.
    if (Status err = write_file_atomic(u8::text(dir / EC_RAM_FILE), ec.ram.data(), ec.ram.size())) {
        return err;
    }
    if (Status err =
            write_file_atomic(u8::text(dir / EEPROM_FILE), smbus.eeprom.data(), smbus.eeprom.size())) {
        return err;
    }
    return write_file_atomic(u8::text(dir / FLASH_FILE), flash.data(), flash.size());
}

#if defined(_WIN32)
namespace {
// The board a host that knows nothing of the simulator drives: its
// directory and its state as loaded, to tell whether anything changed.
std::string environment_dir;
bool refuse_without_board = false;
std::vector<uint8_t> loaded_flash, loaded_ram, loaded_eeprom;

void state_of(const Board& b, std::vector<uint8_t>& flash, std::vector<uint8_t>& ram,
              std::vector<uint8_t>& eeprom) {
    flash.assign(phys::FLASH_SIZE, 0);
    b.memory.read(phys::FLASH_BASE, flash.data(), flash.size());
    ram.assign(b.ec.ram.begin(), b.ec.ram.end());
    eeprom.assign(b.smbus.eeprom.begin(), b.smbus.eeprom.end());
}
}  // namespace

void refuse_memory_without_board() { refuse_without_board = true; }

void save_environment_board() {
    if (environment_dir.empty() || installed == nullptr) {
        return;
    }
    std::vector<uint8_t> flash, ram, eeprom;
    state_of(*installed, flash, ram, eeprom);
    if (flash == loaded_flash && ram == loaded_ram && eeprom == loaded_eeprom) {
        return;  // nothing changed: nothing is written
    }
    if (Status err = installed->save(u8::path(environment_dir))) {
        std::fprintf(stderr, "ZUNDA.dll (simulator): cannot save the board: %s\n", err->text.c_str());
    }
}
#endif

Board& current() {
    if (!installed) {
        static Board fallback;
        installed = &fallback;
#if defined(_WIN32)
        // The simulated ZUNDA.dll under a host that knows nothing of the
        // simulator (a program linked against the kit, or any host beside
        // the form of ZUNDA.dll that stands for the real board): the board
        // comes from the directory this variable names.
        // Read wide: a folder may be named in any script.
        if (const wchar_t* dir = _wgetenv(L"ZUNDA_SIM_BOARD")) {
            if (Status err = fallback.load(std::filesystem::path(dir))) {
                std::fprintf(stderr, "ZUNDA.dll (simulator): %s\n", err->text.c_str());
            } else {
                environment_dir = u8::from_wide(dir);
                state_of(fallback, loaded_flash, loaded_ram, loaded_eeprom);
            }
        }
        // Faults for a host that cannot reach the control interface, one or
        // more separated by ';': "write-protect"; "failing-block=OFFSET,WRITES"
        // (the block at that flash offset ignores its first WRITES writes);
        // "length-after-prepare=N" (the firmware rewrites the record's
        // length); "interface=BLOCK,RECORD,PORT" (the "$QRF" block at that
        // F-segment offset, its record that far on, notifying PORT);
        // "no-interface"; "ec-dead" (the EC never takes a byte);
        // "smbus-status=BITS" (status left over from an earlier
        // transaction); "msdm" (an MSDM table with a product key before
        // the FADT); "lock-contended" (another party asks for the global
        // lock once the library holds it); "hold-after-writes=N" (the
        // firmware says so on stderr and never returns from its N-th block
        // write: a test kills the process there, as a power loss would).
        if (const char* faults = std::getenv("ZUNDA_SIM_FAULT")) {
            std::string list = faults;
            size_t at = 0;
            while (at <= list.size()) {
                size_t end = list.find(';', at);
                std::string fault = list.substr(at, end == std::string::npos ? std::string::npos : end - at);
                at = end == std::string::npos ? list.size() + 1 : end + 1;
                long a = 0, b = 0, c = 0;
                unsigned long writes = 0;
                if (fault.empty()) {
                    continue;
                } else if (fault == "write-protect") {
                    fallback.firmware.write_protected = true;
                } else if (std::sscanf(fault.c_str(), "failing-block=%li,%lu", &a, &writes) == 2) {
                    fallback.firmware.failing_block = uint32_t(a);
                    fallback.firmware.failing_block_writes = unsigned(writes);
                } else if (std::sscanf(fault.c_str(), "length-after-prepare=%li", &a) == 1) {
                    fallback.firmware.length_after_prepare = uint32_t(a);
                } else if (std::sscanf(fault.c_str(), "interface=%li,%li,%li", &a, &b, &c) == 3) {
                    fallback.firmware.install_interface(uint32_t(a), uint8_t(b), uint16_t(c));
                } else if (fault == "no-interface") {
                    fallback.firmware.remove_interface();
                } else if (fault == "ec-dead") {
                    fallback.ec.mode = EmbeddedController::Mode::Dead;
                } else if (std::sscanf(fault.c_str(), "smbus-status=%li", &a) == 1) {
                    fallback.smbus.set_status(uint8_t(a));
                } else if (fault == "msdm") {
                    AcpiLayout layout;
                    layout.entries = {"APIC", "MSDM", "FACP", "HPET"};
                    fallback.acpi.install(layout);
                } else if (fault == "lock-contended") {
                    fallback.lock_contended = true;
                } else if (std::sscanf(fault.c_str(), "hold-after-writes=%li", &a) == 1) {
                    fallback.hold_after_writes = unsigned(a);
                } else {
                    std::fprintf(stderr,
                                 "ZUNDA.dll (simulator): ZUNDA_SIM_FAULT: %s is not a fault it knows\n",
                                 fault.c_str());
                }
            }
        }
        if (environment_dir.empty() && refuse_without_board) {
            fallback.memory.map_fault = [](uint32_t, uint32_t) { return true; };
            fallback.memory.alloc_fault = [](uint32_t) { return true; };
        }
#endif
    }
    return *installed;
}

void install(Board* board) { installed = board; }

}  // namespace sim
