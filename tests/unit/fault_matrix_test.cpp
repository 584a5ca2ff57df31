// Every way the platform can fail, each with a check and an update: the
// exact code and message, no hang, nothing written after the failure, and
// nothing left mapped or allocated after any call.
#include <gtest/gtest.h>

#include <functional>

#include "acpi/facs.h"
#include "board/ec_mailbox.h"
#include "smbus/smbus.h"
#include "update_fixture.h"

namespace {

using namespace upd;

constexpr const char* CHECK_OK = "Image validation sucessfully completed. ";
constexpr const char* UPDATE_OK = "BIOS update successfully completed. ";
constexpr const char* SHELL = "Driver shell error.";
constexpr const char* WRITE_FAILED = "Flash write failed.";
constexpr uint32_t COPY_BLOCK = 0x30000;  // pass a's first block: it always differs

struct Row {
    const char* name;
    std::function<void(sim::Board&)> arm;
    uint32_t check_code;
    const char* check_message;
    uint32_t update_code;
    const char* update_message;
    std::function<void(sim::Board&)> device;  // a device operation that must stay bounded, if any
};

std::function<void(sim::Board&)> fail_map(uint32_t physical, uint32_t length) {
    return [=](sim::Board& b) {
        b.memory.map_fault = [=](uint32_t p, uint32_t n) { return p == physical && n == length; };
    };
}

void failing_block(sim::Board& b, unsigned writes) {
    b.firmware.failing_block = COPY_BLOCK;
    b.firmware.failing_block_writes = writes;
}

void ec_is_bounded(sim::Board& b) {
    EXPECT_EQ(KOVA_get_ec_ram(0x10), 0xFFu);
    KOVA_set_ec_ram(0x10, 0x55);
    EXPECT_TRUE(b.bus.writes_to(0x62).empty()) << "nothing sent to a dead controller";
    EXPECT_LE(b.bus.reads_of(0x66), 2 * size_t(kova::ec::EC_WAIT_LIMIT_POLLS));
}

void smbus_is_bounded(sim::Board& b) {
    uint32_t r = KOVA_smbus_write_byte(0xA0, 0x01, 0x02);
    EXPECT_EQ(r >> 8, 0x01u) << "the busy status comes back";
    EXPECT_EQ(b.smbus.transactions(), 0u);
    EXPECT_LE(b.bus.reads_of(0x400), size_t(kova::smb::SMB_WAIT_LIMIT_POLLS) + 1);
}

void lock_is_left_alone(sim::Board& b) {
    ACPI_require_global_lock();  // would spin for ever if it reached the owned word
    ACPI_release_global_lock();
    EXPECT_EQ(b.acpi.lock_word(), 0x2u);
    EXPECT_TRUE(b.bios_release.writes.empty());
}

class FaultMatrix : public UpdateTest {};

TEST_F(FaultMatrix, EveryFaultWithCheckAndUpdate) {
    const Row rows[] = {
        {"flash window refused", fail_map(0xFFE00000, 0x200000), 0x80000020, SHELL, 0x80000020, SHELL,
         nullptr},
        {"F-segment refused", fail_map(0xF0000, 0x10000), 0x80000020, SHELL, 0x80000020, SHELL, nullptr},
        {"top window refused", fail_map(0xFFFF0000, 0xFFFF), 0x80000020, SHELL, 0x80000020, SHELL, nullptr},
        {"transfer buffer not allocated",
         [](sim::Board& b) { b.memory.alloc_fault = [](uint32_t) { return true; }; }, 0x80000020, SHELL,
         0x80000020, SHELL, nullptr},
        {"transfer buffer not mapped", fail_map(sim::phys::ALLOC_BASE, 0x1000), 0x80000020, SHELL, 0x80000020,
         SHELL, nullptr},
        {"write-protected part", [](sim::Board& b) { b.firmware.write_protected = true; }, 0, CHECK_OK,
         0x80000030, WRITE_FAILED, nullptr},
        {"block failing its first write", [](sim::Board& b) { failing_block(b, 1); }, 0, CHECK_OK, 0,
         UPDATE_OK, nullptr},
        {"block failing its first 3 writes", [](sim::Board& b) { failing_block(b, 3); }, 0, CHECK_OK, 0,
         UPDATE_OK, nullptr},
        {"block failing its first 4 writes", [](sim::Board& b) { failing_block(b, 4); }, 0, CHECK_OK,
         0x80000030, WRITE_FAILED, nullptr},
        {"writes that change nothing", [](sim::Board& b) { b.firmware.ignore_writes = true; }, 0, CHECK_OK,
         0x80000030, WRITE_FAILED, nullptr},
        {"partial writes", [](sim::Board& b) { b.firmware.partial_write_bytes = 0x100; }, 0, CHECK_OK,
         0x80000030, WRITE_FAILED, nullptr},
        {"record length shrunk", [](sim::Board& b) { b.firmware.length_after_prepare = 0x800; }, 0, CHECK_OK,
         0x80000030, WRITE_FAILED, nullptr},
        {"record length zeroed", [](sim::Board& b) { b.firmware.length_after_prepare = 0; }, 0, CHECK_OK,
         0x80000030, WRITE_FAILED, nullptr},
        {"record length enlarged", [](sim::Board& b) { b.firmware.length_after_prepare = 0x1001; }, 0,
         CHECK_OK, 0x80000030, WRITE_FAILED, nullptr},
        {"dead EC", [](sim::Board& b) { b.ec.mode = sim::EmbeddedController::Mode::Dead; }, 0, CHECK_OK, 0,
         UPDATE_OK, ec_is_bounded},
        {"stuck SMBus controller",
         [](sim::Board& b) { b.smbus.mode = sim::SmbusController::Mode::StuckBusy; }, 0, CHECK_OK, 0,
         UPDATE_OK, smbus_is_bounded},
        {"FACS address 0",
         [](sim::Board& b) {
             sim::AcpiLayout l;
             l.firmware_ctrl = 0;
             b.acpi.install(l);
             b.acpi.set_lock_word(0x2);
         },
         0, CHECK_OK, 0, UPDATE_OK, lock_is_left_alone},
        {"FACS address -1 (no FACP)",
         [](sim::Board& b) {
             sim::AcpiLayout l;
             l.entries = {"APIC"};
             b.acpi.install(l);
             b.acpi.set_lock_word(0x2);
         },
         0, CHECK_OK, 0, UPDATE_OK, lock_is_left_alone},
    };
    kimage::ImageOptions oa, ob;
    oa.seed = ob.seed = 9;
    oa.revision = 0;
    ob.module_sizes = {0x6000, 0x1800, 0x14000, 0x3000, 0x800, 0x9000};
    const Bytes a = kimage::make_image(oa).bytes, b = kimage::make_image(ob).bytes;

    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        for (bool is_update : {false, true}) {
            board = std::make_unique<sim::Board>();
            sim::install(board.get());
            install(a);
            row.arm(*board);
            KOVA_block_count = 0;
            uint32_t code = is_update ? KOVA_update_bios_firmware(b.data(), HANDLE, 0)
                                      : KOVA_check_bios_image(b.data(), HANDLE, 0);
            EXPECT_EQ(code, is_update ? row.update_code : row.check_code) << (is_update ? "update" : "check");
            EXPECT_STREQ(KOVA_message, is_update ? row.update_message : row.check_message);
            expect_nothing_held();

            auto calls = board->firmware.callbacks();
            if (code == 0x80000020) {
                EXPECT_TRUE(calls.empty()) << "nothing sent before the resources are held";
                EXPECT_EQ(flash(), a);
            }
            if (!is_update && code == 0) {
                EXPECT_EQ(flash(), a) << "a check writes nothing";
            }
            if (code == 0x80000030) {
                // The failing block's prepares and writes are the last calls
                // before CODE_END: nothing was written after the failure.
                ASSERT_GE(calls.size(), 2u);
                EXPECT_EQ(calls.back().code, 0x24);
                size_t i = calls.size() - 2;
                uint32_t failing = calls[i].record.flash_address;
                unsigned writes = 0;
                for (; i > 0 && calls[i].record.flash_address == failing && calls[i].code != 0x20; --i) {
                    writes += calls[i].code == 0x23;
                }
                EXPECT_NE(calls[i].record.flash_address, failing);
                EXPECT_LE(writes, 4u);
                EXPECT_EQ(KOVA_block_count, -int(std::count_if(calls.begin(), calls.end(), [](const auto& e) {
                              return e.code == 0x23;
                          })));
            }
            if (row.device) {
                board->bus.clear_trace();
                row.device(*board);
                expect_nothing_held();
            }
        }
    }
}

}  // namespace
