// What the real KOVA.dll must do for a host, case by case. The same cases
// run under Wine and in the CPU emulator; see dll_cases.h.
#include "dll_cases.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "builder.h"
#include "kova.h"

namespace {

constexpr uint32_t FLASH_PHYSICAL = 0xFFE00000;
constexpr uint32_t FLASH_BYTES = 0x200000;
constexpr uint32_t KEPT_REGION = 0x1E0000;  // 64 KiB an update never writes
constexpr uint32_t KEPT_BYTES = 0x10000;
constexpr uint32_t FACS_PHYSICAL = 0x00210000;
constexpr uint32_t FACS_LOCK_WORD = 16;
constexpr uint32_t HANDLE = 1;

class DllCase : public ::testing::Test {
protected:
    std::unique_ptr<DllPort> port = make_dll_port();
    const SimControl& sim = port->sim();

    void SetUp() override {
        sim.SimFirmwareFault(SIM_FAULT_NONE, 0);
        sim.SimFailMapping(0);
        sim.SimSetRegister(0xFEA1, 0);
        sim.SimEcSetMode(0);
        sim.SimEcSetBusyReads(0);
        sim.SimFirmwareClearLog();
    }
    void TearDown() override {
        EXPECT_EQ(sim.SimLiveMappings(), 0u) << "a window is still mapped";
        EXPECT_EQ(sim.SimLiveAllocations(), 0u) << "the transfer buffer is still allocated";
        sim.SimFirmwareFault(SIM_FAULT_NONE, 0);
        sim.SimFailMapping(0);
    }

    static std::vector<uint8_t> image(uint64_t seed, uint8_t revision = 1) {
        kimage::ImageOptions o;
        o.seed = seed;
        o.revision = revision;
        return kimage::make_image(o).bytes;
    }
    void install(const std::vector<uint8_t>& firmware) {
        ASSERT_EQ(sim.SimWriteFlash(firmware.data(), uint32_t(firmware.size())), 1u);
    }
    std::vector<uint8_t> flash() {
        std::vector<uint8_t> out(FLASH_BYTES);
        EXPECT_EQ(sim.SimReadPhys(FLASH_PHYSICAL, out.data(), FLASH_BYTES), 1u);
        return out;
    }
    uint32_t entry(const char* name, const std::vector<uint8_t>* img, uint32_t handle = HANDLE) {
        return port->call(name, {img ? port->host_buffer(*img) : 0u, handle, 0u});
    }
    uint32_t check(const std::vector<uint8_t>& img) { return entry("KOVA_check_bios_image", &img); }
    uint32_t update(const std::vector<uint8_t>* img) { return entry("KOVA_update_bios_firmware", img); }
    std::string message() {
        std::vector<uint8_t> m = port->read("KOVA_message", 128);
        return std::string(reinterpret_cast<const char*>(m.data()),
                           strnlen(reinterpret_cast<char*>(m.data()), 128));
    }
    int32_t block_count() {
        std::vector<uint8_t> v = port->read("KOVA_block_count", 4);
        int32_t n;
        std::memcpy(&n, v.data(), 4);
        return n;
    }
    // What an update from `from` to `to` leaves in the flash.
    static std::vector<uint8_t> updated(const std::vector<uint8_t>& from, std::vector<uint8_t> to) {
        std::copy(from.begin() + KEPT_REGION, from.begin() + KEPT_REGION + KEPT_BYTES,
                  to.begin() + KEPT_REGION);
        return to;
    }
};

struct DataExport {
    const char* name;
    size_t size;
    const char* text;  // nullptr: a 32-bit number
    uint32_t number;
};

TEST_F(DllCase, ExportedDataByNameAtLoad) {
    const DataExport table[] = {
        {"KOVA_mb", 4, "K5R", 0},
        {"KOVA_customer", 8, "ZALT", 0},
        {"KOVA_major_version", 4, "05", 0},
        {"KOVA_minor_version", 4, "01", 0},
        {"KOVA_date", 12, "03/24/2009", 0},
        {"KOVA_flash_size", 4, nullptr, 0x200000},
        {"KOVA_message", 128, "", 0},
        {"KOVA_caller_id", 4, nullptr, 0},
        {"KOVA_block_count", 4, nullptr, 0},
    };
    uint32_t previous_end = 0;
    for (const DataExport& e : table) {
        uint32_t at = port->address(e.name);
        ASSERT_NE(at, 0u) << e.name;
        std::vector<uint8_t> bytes = port->read(e.name, e.size);
        if (e.text) {
            size_t len = std::strlen(e.text);
            EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + long(len)), e.text) << e.name;
            for (size_t i = len; i < e.size; ++i) {
                EXPECT_EQ(bytes[i], 0) << e.name << " byte " << i;
            }
        } else {
            uint32_t v;
            std::memcpy(&v, bytes.data(), 4);
            EXPECT_EQ(v, e.number) << e.name;
            EXPECT_EQ(at % 4, 0u) << e.name << " must be aligned";
        }
        EXPECT_GE(at, previous_end) << e.name << " out of order";
        previous_end = at + uint32_t(e.size);
    }
}

// A host compares the header it was built with against the library it loads.
TEST_F(DllCase, HeaderVersionIsTheExportedVersion) {
    auto text = [&](const char* name) {
        std::vector<uint8_t> b = port->read(name, 4);
        return std::string(reinterpret_cast<const char*>(b.data()));
    };
    std::string major = text("KOVA_major_version"), minor = text("KOVA_minor_version");
    EXPECT_EQ(major + "." + minor, KOVA_VERSION_STRING);
    EXPECT_EQ(std::stoi(major), KOVA_VERSION_MAJOR);
    EXPECT_EQ(std::stoi(minor), KOVA_VERSION_MINOR);
}

TEST_F(DllCase, EcByteRoundTripsThroughTheSimulatedController) {
    for (uint32_t reads : {0u, 3u}) {
        sim.SimEcSetBusyReads(reads);
        port->call("KOVA_set_ec_ram", {0x133, 0x1A5});  // only the low bytes reach the controller
        EXPECT_EQ(sim.SimEcRamPeek(0x33), 0xA5u);
        EXPECT_EQ(port->call("KOVA_get_ec_ram", {0x33}), 0xA5u);
    }
}

TEST_F(DllCase, DeadControllerReadGivesUpWithFF) {
    sim.SimTraceClear();
    sim.SimEcSetMode(1);
    EXPECT_EQ(port->call("KOVA_get_ec_ram", {0x10}), 0xFFu);
    sim.SimEcSetMode(0);
    EXPECT_EQ(sim.SimTraceWrites(0x66, nullptr, 0), 0u) << "no command after the wait gave up";
    EXPECT_EQ(sim.SimTraceWrites(0x62, nullptr, 0), 0u);
    EXPECT_EQ(sim.SimTraceCount(), 2u * 0x40000u - 1u) << "limit status reads with delays between";
}

// A whole image through the update entries: the exports, __stdcall and the
// record passed by value across the DLL boundary all take part. Each case
// checks, then updates, then checks again.
struct UpdateCase {
    const char* name;
    uint64_t installed_seed, image_seed;
    uint32_t changed_byte;  // nonzero: the image is the installed firmware with this byte flipped
    int32_t check_count;    // blocks the first check counts
    uint32_t writes;        // CODE_WRITE callbacks of the update
};

TEST_F(DllCase, CheckUpdateAndCheckAgain) {
    const UpdateCase cases[] = {
        // The copies of the boot block at 0x30000 and of the first 64 KiB at
        // 0x10000 differ from the image even when the rest is equal.
        {"identical image", 1, 1, 0, 32, 64},
        {"one block changed", 1, 1, 0x80123, 33, 65},
        {"every block differs", 1, 2, 0, 528, 528},
    };
    for (const UpdateCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> a = image(c.installed_seed), b = image(c.image_seed);
        if (c.changed_byte) {
            b[c.changed_byte] ^= 0x5A;
        }
        install(a);
        sim.SimFirmwareClearLog();
        EXPECT_EQ(check(b), 0u);
        EXPECT_EQ(message(), "Image validation sucessfully completed. ");
        EXPECT_EQ(block_count(), c.check_count);
        EXPECT_EQ(sim.SimFirmwareCallbacks(0x20), 1u);
        EXPECT_EQ(sim.SimFirmwareCallbacks(0x24), 1u);
        EXPECT_EQ(sim.SimFirmwareCallbacks(0xFFFFFFFF), 2u) << "a check makes no block callbacks";
        EXPECT_TRUE(flash() == a) << "a check writes nothing";

        sim.SimFirmwareClearLog();
        EXPECT_EQ(update(&b), 0u);
        EXPECT_EQ(message(), "BIOS update successfully completed. ");
        EXPECT_EQ(block_count(), c.check_count - int32_t(c.writes));
        EXPECT_EQ(sim.SimFirmwareCallbacks(0x23), c.writes);
        EXPECT_TRUE(flash() == updated(a, b));
        // What the backup-copy passes still count is all that is left.
        EXPECT_EQ(check(b), 0u);
        EXPECT_EQ(block_count(), 32);
    }
}

TEST_F(DllCase, SkipBitLeavesOutPassC) {
    auto a = image(1);
    install(a);
    sim.SimSetRegister(0xFEA1, 0x80);
    EXPECT_EQ(check(a), 0u);
    EXPECT_EQ(block_count(), 16);
    sim.SimSetRegister(0xFEA1, 0x00);
    EXPECT_EQ(check(a), 0u);
    EXPECT_EQ(block_count(), 32);
}

struct FailureCase {
    const char* name;
    uint32_t fault, fault_value, failing_map;
    uint8_t installed_revision;
    bool null_image;
    uint32_t code;
    const char* message;
};

TEST_F(DllCase, FailuresReportTheirCodeAndMessage) {
    const FailureCase cases[] = {
        {"null image", 0, 0, 0, 0, true, 0x80000000, "Image integrity check failed."},
        {"installed revision 2", 0, 0, 0, 2, false, 0x80000005, "Image outdated. "},
        {"top window refused", 0, 0, 0xFFFF0000, 0, false, 0x80000020, "Driver shell error."},
        {"write-protected flash", SIM_FAULT_WRITE_PROTECT, 0, 0, 0, false, 0x80000030, "Flash write failed."},
        {"firmware grows the record length", SIM_FAULT_RECORD_LENGTH, 0x2000, 0, 0, false, 0x80000030,
         "Flash write failed."},
    };
    auto b = image(2);
    for (const FailureCase& c : cases) {
        SCOPED_TRACE(c.name);
        auto a = image(1, c.installed_revision);
        install(a);
        sim.SimFirmwareFault(SIM_FAULT_NONE, 0);
        if (c.fault) {
            sim.SimFirmwareFault(c.fault, c.fault_value);
        }
        sim.SimFailMapping(c.failing_map);
        EXPECT_EQ(update(c.null_image ? nullptr : &b), c.code);
        EXPECT_EQ(message(), c.message);
        EXPECT_EQ(sim.SimLiveMappings(), 0u);
        EXPECT_EQ(sim.SimLiveAllocations(), 0u);
        if (c.fault == SIM_FAULT_WRITE_PROTECT) {
            EXPECT_TRUE(flash() == a) << "nothing reached a protected part";
        }
        sim.SimFailMapping(0);
    }
}

// The device exports, each called through the real DLL.
TEST_F(DllCase, DeviceExports) {
    std::vector<uint8_t> bytes = flash();
    EXPECT_EQ(port->call("KOVA_read_flash_byte", {0x1234}), bytes[0x1234 + 15])
        << "the sixteenth byte clocked from 0x1234";

    EXPECT_EQ(port->call("KOVA_smbus_write_byte", {0xA1, 0x40, 0x5A}), 0x025Au);
    EXPECT_EQ(port->call("KOVA_smbus_write_word", {0xA0, 0x41, 0x1234}), 0x0234u);
    EXPECT_EQ(port->call("KOVA_smbus_write_block", {0xA0, 0x50, 0}) >> 8, 0x02u);
    EXPECT_EQ(port->call("KOVA_smbus_write_byte", {0x30, 0, 0}) >> 8, 0x04u) << "absent slave";
    EXPECT_EQ(sim.SimSmbusPeek(0x40), 0x5Au);
    EXPECT_EQ(sim.SimSmbusPeek(0x42), 0x12u);

    auto lock_word = [&] {
        uint32_t w = 0xFFFFFFFF;
        EXPECT_EQ(sim.SimReadPhys(FACS_PHYSICAL + FACS_LOCK_WORD, &w, 4), 1u);
        return w;
    };
    port->call("ACPI_require_global_lock", {});
    EXPECT_EQ(lock_word(), 0x2u) << "owned";
    port->call("ACPI_release_global_lock", {});
    EXPECT_EQ(lock_word(), 0x0u);

    sim.SimTraceClear();
    port->call("KOVA_INIT_SATA", {});
    EXPECT_EQ(sim.SimTraceCount(), 0u) << "KOVA_INIT_SATA touches no hardware";
}

}  // namespace
