#include "device_cmd.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string_view>
#include <vector>

#include "builder.h"

namespace {

constexpr int EXIT_FAILED = 1;
constexpr uint32_t SPI_ADDRESS_MASK = 0xFFFFFF;
// The library clocks sixteen bytes from the address it is given and returns
// the last: asking for address - 15 yields the byte at address.
constexpr uint32_t FLASH_READ_LEAD = 15;
constexpr uint32_t DUMP_BYTES_PER_LINE = 16;

constexpr uint8_t SMB_STS_HOST_BUSY = 0x01, SMB_STS_INTR = 0x02, SMB_STS_DEV_ERR = 0x04,
                  SMB_STS_BUS_ERR = 0x08, SMB_STS_FAILED = 0x10;
constexpr uint8_t SMB_STS_ERRORS = SMB_STS_DEV_ERR | SMB_STS_BUS_ERR | SMB_STS_FAILED;

// ACPI tables, read by the host through the hardware-access library.
constexpr uint32_t FSEG_PHYSICAL = 0xF0000, FSEG_BYTES = 0x10000;
constexpr std::string_view RSDP_SIGNATURE = "RSD PTR ";
constexpr uint32_t RSDP_RSDT_AT = 16, RSDP_BYTES = 20;
constexpr uint32_t SDT_HEADER_BYTES = 36, SDT_LENGTH_AT = 4, RSDT_MAX_ENTRIES = 8;
constexpr uint32_t FADT_FIRMWARE_CTRL_AT = 36, FADT_MIN_BYTES = 40;
constexpr uint32_t FACS_GLOBAL_LOCK_AT = 16, FACS_MIN_BYTES = 20;

uint32_t read32(const std::vector<uint8_t>& b, size_t at) { return kimage::read32(&b[at]); }

// The FACS address the library will use: the first FADT among the first
// eight RSDT entries.
std::optional<uint32_t> host_find_facs() {
    std::vector<uint8_t> fseg, rsdt, table;
    if (!read_physical(FSEG_PHYSICAL, FSEG_BYTES, fseg).empty()) {
        return std::nullopt;
    }
    std::string_view text(reinterpret_cast<const char*>(fseg.data()), fseg.size());
    size_t r = text.find(RSDP_SIGNATURE.substr(0, 7));
    while (r != std::string_view::npos && r + RSDP_BYTES > fseg.size()) {
        r = text.find(RSDP_SIGNATURE.substr(0, 7), r + 1);
    }
    if (r == std::string_view::npos ||
        !read_physical(read32(fseg, r + RSDP_RSDT_AT), SDT_HEADER_BYTES + 4 * RSDT_MAX_ENTRIES, rsdt)
             .empty()) {
        return std::nullopt;
    }
    uint32_t length = read32(rsdt, SDT_LENGTH_AT);
    uint32_t entries =
        length < SDT_HEADER_BYTES ? 0 : std::min((length - SDT_HEADER_BYTES) / 4, RSDT_MAX_ENTRIES);
    for (uint32_t i = 0; i < entries; ++i) {
        if (read_physical(read32(rsdt, SDT_HEADER_BYTES + 4 * i), FADT_MIN_BYTES, table).empty() &&
            std::string_view(reinterpret_cast<const char*>(table.data()), 4) == "FACP") {
            return read32(table, FADT_FIRMWARE_CTRL_AT);
        }
    }
    return std::nullopt;
}

std::optional<uint32_t> read_lock_word(uint32_t facs) {
    std::vector<uint8_t> b;
    if (!read_physical(facs, FACS_MIN_BYTES, b).empty()) {
        return std::nullopt;
    }
    return read32(b, FACS_GLOBAL_LOCK_AT);
}

std::string describe_lock(uint32_t word) {
    char text[64];
    std::snprintf(text, sizeof text, "0x%08X (%s%s)", word, (word & 2) ? "owned" : "free",
                  (word & 1) ? ", pending" : "");
    return text;
}

}  // namespace

std::string describe_smbus_status(uint8_t status) {
    struct Bit {
        uint8_t mask;
        const char* name;
    };
    const Bit bits[] = {{SMB_STS_HOST_BUSY, "HOST_BUSY: still busy"},
                        {SMB_STS_INTR, "INTR: done"},
                        {SMB_STS_DEV_ERR, "DEV_ERR: no acknowledge"},
                        {SMB_STS_BUS_ERR, "BUS_ERR: collision"},
                        {SMB_STS_FAILED, "FAILED: killed"}};
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
    bool ok = (status & SMB_STS_INTR) && !(status & (SMB_STS_ERRORS | SMB_STS_HOST_BUSY));
    return ok ? 0 : EXIT_FAILED;
}

int run_acpi_lock(const KovaApi& api) {
    std::optional<uint32_t> facs = host_find_facs();
    if (!facs || *facs == 0) {
        std::printf("no FACS in the ACPI tables: the library leaves the lock alone\n");
        api.acquire_global_lock();
        api.release_global_lock();
        return EXIT_FAILED;
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
    return held && (*held & 2) ? 0 : EXIT_FAILED;
}
