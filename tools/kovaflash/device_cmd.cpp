#include "device_cmd.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string_view>
#include <vector>

#include "acpi/facs.h"
#include "builder.h"
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

int run_flash_read(const KovaApi& api, uint32_t address, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t at = (address + i) & SPI_ADDRESS_MASK;
        if (i % DUMP_BYTES_PER_LINE == 0) {
            std::printf("%s0x%06X ", i == 0 ? "" : "\n", at);
        }
        uint32_t value = api.read_flash_byte((at - FLASH_READ_LEAD) & SPI_ADDRESS_MASK);
        std::printf(" %02X", unsigned(value & 0xFF));
    }
    std::printf("\n");
    return 0;
}

int run_smbus_write(const KovaApi& api, SmbusOp op, uint32_t slave, uint32_t command, uint32_t value) {
    uint32_t r = op == SmbusOp::Byte   ? api.smbus_write_byte(slave, command, value)
                 : op == SmbusOp::Word ? api.smbus_write_word(slave, command, value)
                                       : api.smbus_write_block(slave, command, value);
    uint8_t status = uint8_t(r >> 8);
    std::printf("result        : 0x%04X\n", unsigned(r));
    std::printf("host status   : %s\n", describe_smbus_status(status).c_str());
    std::printf("data 0        : 0x%02X\n", unsigned(r & 0xFF));
    bool ok = (status & SMB_HST_STS_INTR) && !(status & (SMB_HST_STS_ERRORS | SMB_HST_STS_HOST_BUSY));
    return ok ? 0 : exitcode::FAILED;
}

int run_acpi_lock(const KovaApi& api) {
    std::optional<uint32_t> facs = host_find_facs();
    if (!facs || *facs == 0) {
        std::printf("no FACS in the ACPI tables: the library leaves the lock alone\n");
        api.acquire_global_lock();
        api.release_global_lock();
        return exitcode::FAILED;
    }
    std::printf("FACS          : 0x%08X\n", *facs);
    if (auto w = read_lock_word(*facs)) {
        std::printf("lock word     : %s before\n", describe_lock(*w).c_str());
    }
    api.acquire_global_lock();
    std::optional<uint32_t> held = read_lock_word(*facs);
    if (held) {
        std::printf("lock word     : %s held\n", describe_lock(*held).c_str());
    }
    api.release_global_lock();
    if (auto w = read_lock_word(*facs)) {
        std::printf("lock word     : %s released\n", describe_lock(*w).c_str());
    }
    return held && (*held & acpi::GL_OWNED) ? exitcode::OK : exitcode::FAILED;
}
