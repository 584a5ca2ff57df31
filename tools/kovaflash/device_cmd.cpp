#include "device_cmd.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "acpi/facs.h"
#include "builder.h"
#include "cli.h"
#include "error.h"
#include "smbus/smbus.h"

namespace {

constexpr uint32_t SPI_ADDRESS_MASK = 0xFFFFFF;
// The library clocks sixteen bytes from the address it is given and returns
// the last: asking for address - 15 yields the byte at address.
constexpr uint32_t FLASH_READ_LEAD = 15;
constexpr uint32_t DUMP_BYTES_PER_LINE = 16;

using namespace kova::smb;
namespace acpi = kova::acpi;

uint32_t read32(const std::vector<uint8_t>& b, size_t at) { return kimage::read32(&b[at]); }

bool signature_at(const std::vector<uint8_t>& b, size_t at, const char* signature) {
    return std::string_view(reinterpret_cast<const char*>(b.data()) + at, acpi::SIGNATURE_BYTES) ==
           std::string_view(signature, acpi::SIGNATURE_BYTES);
}

// The FACS address the library will use, found the way it finds it, with
// what it maps: the RSDP in the F-segment, the RSDT, the first "FACP" among
// at most eight entries and no more than the RSDT holds.
std::optional<uint32_t> host_find_facs() {
    std::vector<uint8_t> fseg, rsdt, table;
    if (read_physical(acpi::FSEG_PHYSICAL, acpi::FSEG_LENGTH, fseg)) {
        return std::nullopt;
    }
    std::string_view text(reinterpret_cast<const char*>(fseg.data()), fseg.size());
    size_t r = text.find(acpi::RSDP_SIGNATURE);
    while (r != std::string_view::npos && r + acpi::RSDP_FIELDS_BYTES > fseg.size()) {
        r = text.find(acpi::RSDP_SIGNATURE, r + 1);
    }
    if (r == std::string_view::npos ||
        read_physical(read32(fseg, r + acpi::RSDP_RSDT_ADDRESS_AT), acpi::RSDT_MAP_BYTES, rsdt)) {
        return std::nullopt;
    }
    uint32_t length = read32(rsdt, acpi::SDT_LENGTH_AT);
    uint32_t entries =
        length < acpi::SDT_HEADER_BYTES
            ? 0
            : std::min((length - acpi::SDT_HEADER_BYTES) / acpi::SDT_ENTRY_BYTES, acpi::RSDT_MAX_ENTRIES);
    for (uint32_t i = 0; i < entries; ++i) {
        uint32_t address = read32(rsdt, acpi::SDT_HEADER_BYTES + acpi::SDT_ENTRY_BYTES * i);
        if (!read_physical(address, acpi::TABLE_MAP_BYTES, table) &&
            signature_at(table, 0, acpi::FADT_SIGNATURE)) {
            return read32(table, acpi::FADT_FIRMWARE_CTRL_AT);
        }
    }
    return std::nullopt;
}

std::optional<uint32_t> read_lock_word(uint32_t facs) {
    std::vector<uint8_t> b;
    if (read_physical(facs, acpi::FACS_MAP_BYTES, b)) {
        return std::nullopt;
    }
    return read32(b, acpi::FACS_GLOBAL_LOCK_AT);
}

std::string describe_lock(uint32_t word) {
    char text[64];
    std::snprintf(text, sizeof text, "0x%08X (%s%s)", word, (word & acpi::GL_OWNED) ? "owned" : "free",
                  (word & acpi::GL_PENDING) ? ", pending" : "");
    return text;
}

}  // namespace

std::string describe_smbus_status(uint8_t status) {
    struct Bit {
        uint8_t mask;
        const char* name;
    };
    const Bit bits[] = {{SMB_HST_STS_HOST_BUSY, "HOST_BUSY: still busy"},
                        {SMB_HST_STS_INTR, "INTR: done"},
                        {SMB_HST_STS_DEV_ERR, "DEV_ERR: no acknowledge"},
                        {SMB_HST_STS_BUS_ERR, "BUS_ERR: collision"},
                        {SMB_HST_STS_FAILED, "FAILED: killed"}};
    char head[8];
    std::snprintf(head, sizeof head, "0x%02X", status);
    std::string names;
    uint8_t rest = status;
    for (const Bit& b : bits) {
        if (status & b.mask) {
            names += (names.empty() ? "" : ", ") + std::string(b.name);
            rest &= uint8_t(~b.mask);
        }
    }
    for (int bit = 0; bit < 8; ++bit) {
        if (rest & (1u << bit)) {
            names += (names.empty() ? "" : ", ") + std::string("bit ") + std::to_string(bit);
        }
    }
    return std::string(head) + " (" + (names.empty() ? "idle" : names) + ")";
}

namespace {

constexpr uint32_t EC_INDEX_MAX = 0xFF;
constexpr uint32_t EC_VALUE_MAX = 0xFF;
constexpr uint32_t FLASH_DUMP_MAX = 0x1000;
constexpr uint32_t SMBUS_ADDRESS_MAX = 0xFF;
constexpr uint32_t SMBUS_BYTE_MAX = 0xFF;
constexpr uint32_t SMBUS_WORD_MAX = 0xFFFF;
constexpr uint32_t SMBUS_BLOCK_MAX = 32;

std::string hex(uint32_t v, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, unsigned(v));
    return text;
}

// One EC RAM byte, read ("=") or written ("<-"), as text and in the report.
int report_ec(Session& s, const char* arrow, uint32_t index, uint32_t value) {
    s.say("EC[0x%02X] %s 0x%02X", unsigned(index), arrow, unsigned(value));
    s.report["index"] = index;
    s.report["value"] = value;
    return exitcode::OK;
}

int run_ec_read(Session& s, uint32_t index) {
    s.open(Access::Read);
    return report_ec(s, "=", index, s.api.get_ec_ram(index) & 0xFF);
}

int run_ec_write(Session& s, uint32_t index, uint32_t value) {
    s.open(Access::Write);
    s.history();  // a damaged history is refused before anything is written
    s.api.set_ec_ram(index, value);
    s.save();
    records::Record r = {
        {"event", "ec-write"}, {"index", index}, {"value", value}, {"exit_code", exitcode::OK}};
    s.record(r);
    return report_ec(s, "<-", index, value);
}

// The bytes at `address` onwards, as a hex dump of 16 to a line.
int run_flash_read(Session& s, uint32_t address, uint32_t count) {
    s.open(Access::Read);
    std::vector<uint32_t> bytes;
    std::string line;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t at = address + i;
        if (i % DUMP_BYTES_PER_LINE == 0) {
            line = hex(at, 6) + " ";
        }
        uint32_t value = s.api.read_flash_byte((at - FLASH_READ_LEAD) & SPI_ADDRESS_MASK) & 0xFF;
        bytes.push_back(value);
        char byte[4];
        std::snprintf(byte, sizeof byte, " %02X", unsigned(value));
        line += byte;
        if (i % DUMP_BYTES_PER_LINE == DUMP_BYTES_PER_LINE - 1 || i + 1 == count) {
            s.say("%s", line.c_str());
        }
    }
    s.report["address"] = address;
    s.report["bytes"] = bytes;
    return exitcode::OK;
}

int run_smbus_write(Session& s, SmbusOp op, uint32_t slave, uint32_t command, uint32_t value) {
    s.open(Access::Write);
    s.history();  // a damaged history is refused before anything is written
    uint32_t r = op == SmbusOp::Byte   ? s.api.smbus_write_byte(slave, command, value)
                 : op == SmbusOp::Word ? s.api.smbus_write_word(slave, command, value)
                                       : s.api.smbus_write_block(slave, command, value);
    s.save();
    uint8_t status = uint8_t(r >> 8);
    s.say("result        : 0x%04X", unsigned(r));
    s.say("host status   : %s", describe_smbus_status(status).c_str());
    s.say("data 0        : 0x%02X", unsigned(r & 0xFF));
    s.report["result"] = r;
    s.report["host_status"] = status;
    s.report["host_status_text"] = describe_smbus_status(status);
    s.report["data0"] = r & 0xFF;
    bool ok = (status & SMB_HST_STS_INTR) && !(status & (SMB_HST_STS_ERRORS | SMB_HST_STS_HOST_BUSY));
    static constexpr const char* OP_NAMES[] = {"smbus-write-byte", "smbus-write-word", "smbus-write-block"};
    records::Record rec = {{"event", OP_NAMES[int(op)]},
                           {"slave", slave},
                           {"command", command},
                           {"value", value},
                           {"result", r},
                           {"host_status", status},
                           {"exit_code", ok ? exitcode::OK : exitcode::FAILED}};
    s.record(rec);
    return ok ? exitcode::OK : exitcode::FAILED;
}

// A reader: the lock word lives in firmware memory, and nothing of the
// board directory changes.
int run_acpi_lock(Session& s) {
    s.open(Access::Read);
    const KovaApi& api = s.api;
    std::optional<uint32_t> facs = host_find_facs();
    if (!facs || *facs == 0) {
        api.acquire_global_lock();
        api.release_global_lock();
        throw Error{exitcode::FAILED, "no FACS in the ACPI tables: the library leaves the lock alone"};
    }
    s.say("FACS          : 0x%08X", *facs);
    s.report["facs"] = *facs;
    auto show = [&](const char* when) {
        std::optional<uint32_t> w = read_lock_word(*facs);
        if (w) {
            s.say("lock word     : %s %s", describe_lock(*w).c_str(), when);
            s.report[std::string("lock_word_") + when] = *w;
        }
        return w;
    };
    show("before");
    api.acquire_global_lock();
    std::optional<uint32_t> held = show("held");
    api.release_global_lock();
    show("released");
    return held && (*held & acpi::GL_OWNED) ? exitcode::OK : exitcode::FAILED;
}

}  // namespace

void register_device_commands(CLI::App& app, Action& chosen) {
    auto* ec = app.add_subcommand("ec", "embedded-controller RAM");
    ec->require_subcommand(1);
    auto ec_args = std::make_shared<std::pair<std::string, std::string>>();
    auto* ec_read = ec->add_subcommand("read", "read one byte of EC RAM");
    ec_read->add_option("INDEX", ec_args->first, "RAM index, 0 to 255")->required();
    ec_read->callback([&chosen, ec_args] {
        chosen = [ec_args](Session& s) {
            return run_ec_read(s, number_argument(ec_args->first, EC_INDEX_MAX, "INDEX"));
        };
    });
    auto* ec_write = ec->add_subcommand("write", "write one byte of EC RAM");
    ec_write->add_option("INDEX", ec_args->first, "RAM index, 0 to 255")->required();
    ec_write->add_option("VALUE", ec_args->second, "byte value, 0 to 255")->required();
    ec_write->callback([&chosen, ec_args] {
        chosen = [ec_args](Session& s) {
            uint32_t index = number_argument(ec_args->first, EC_INDEX_MAX, "INDEX");
            return run_ec_write(s, index, number_argument(ec_args->second, EC_VALUE_MAX, "VALUE"));
        };
    });

    auto* flash = app.add_subcommand("flash", "the serial flash, through the board's serial-flash engine");
    flash->require_subcommand(1);
    auto flash_args = std::make_shared<std::pair<std::string, std::string>>("", "16");
    auto* flash_read = flash->add_subcommand("read", "hex dump of the serial flash from ADDRESS");
    flash_read->add_option("ADDRESS", flash_args->first, "flash address in the 2 MiB part")->required();
    flash_read->add_option("--count", flash_args->second, "bytes to read, 1 to 4096");
    flash_read->callback([&chosen, flash_args] {
        chosen = [flash_args](Session& s) {
            // One bound for the address, the part's own; then the range.
            uint32_t address = number_argument(flash_args->first, flashmap::FLASH_LAST, "ADDRESS");
            uint32_t count = number_argument(flash_args->second, 1, FLASH_DUMP_MAX, "--count");
            if (uint64_t(address) + count > flashmap::FLASH_SIZE) {
                char text[160];
                std::snprintf(
                    text, sizeof text,
                    "0x%X bytes from 0x%06X run past the end of the 2 MiB flash (last address 0x%X)",
                    unsigned(count), unsigned(address), unsigned(flashmap::FLASH_LAST));
                throw Error{exitcode::USAGE, text};
            }
            return run_flash_read(s, address, count);
        };
    });

    auto* smbus = app.add_subcommand("smbus", "one SMBus write transaction");
    smbus->require_subcommand(1);
    struct SmbusCmd {
        const char* name;
        const char* what;
        SmbusOp op;
        uint32_t max;
        const char* value_name;
    };
    static constexpr SmbusCmd SMBUS_CMDS[] = {
        {"write-byte", "byte-data write", SmbusOp::Byte, SMBUS_BYTE_MAX, "VALUE"},
        {"write-word", "word-data write", SmbusOp::Word, SMBUS_WORD_MAX, "VALUE"},
        {"write-block", "block write of the controller's buffer", SmbusOp::Block, SMBUS_BLOCK_MAX, "COUNT"},
    };
    for (const SmbusCmd& c : SMBUS_CMDS) {
        auto args = std::make_shared<std::array<std::string, 3>>();
        auto* sub = smbus->add_subcommand(c.name, c.what);
        sub->add_option("SLAVE", (*args)[0], "8-bit slave address (bit 0 is cleared)")->required();
        sub->add_option("COMMAND", (*args)[1], "command byte")->required();
        sub->add_option(c.value_name, (*args)[2], c.op == SmbusOp::Block ? "byte count, 0 to 32" : "data")
            ->required();
        sub->callback([&chosen, args, &c] {
            chosen = [args, &c](Session& s) {
                uint32_t slave = number_argument((*args)[0], SMBUS_ADDRESS_MAX, "SLAVE");
                uint32_t command = number_argument((*args)[1], SMBUS_BYTE_MAX, "COMMAND");
                uint32_t value = number_argument((*args)[2], c.max, c.value_name);
                return run_smbus_write(s, c.op, slave, command, value);
            };
        });
    }

    auto* acpi_cmd = app.add_subcommand("acpi", "the ACPI global lock");
    acpi_cmd->require_subcommand(1);
    acpi_cmd->add_subcommand("lock", "acquire, show the FACS and lock word, release")->callback([&chosen] {
        chosen = run_acpi_lock;
    });
}
