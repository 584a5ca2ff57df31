// Locating the firmware's flash interface and the order of a notification.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

#include "board_fixture.h"
#include "update/flash_interface.h"

namespace {

constexpr uint32_t FSEG = 0x10000;
using Kind = sim::FirmwareEvent::Kind;

void put_block(std::vector<uint8_t>& w, uint32_t k, uint8_t record_offset, uint16_t port) {
    std::memcpy(&w[k], "$QRF", 4);
    w[k + 4] = record_offset;
    w[k + 12] = uint8_t(port);
    w[k + 13] = uint8_t(port >> 8);
}

struct LocateCase {
    const char* name;
    std::function<void(std::vector<uint8_t>&)> build;
    int64_t record_at;  // window offset of the record, -1: the default interface
};

class FlashInterface : public BoardTest {};

TEST_F(FlashInterface, LocatesTheFirstBlockThatFitsInTheWindow) {
    const LocateCase cases[] = {
        {"no block", [](auto&) {}, -1},
        {"record 0x20 after the signature", [](auto& w) { put_block(w, 0x4A10, 0x20, 0xB2); }, 0x4A30},
        {"record offset 0: record overlaps the block", [](auto& w) { put_block(w, 0x100, 0, 0xB2); }, 0x100},
        {"first of two",
         [](auto& w) {
             put_block(w, 0x200, 0x40, 0xB2);
             put_block(w, 0x100, 0x10, 0xB2);
         },
         0x110},
        {"fields run past the window", [](auto& w) { std::memcpy(&w[FSEG - 8], "$QRF", 4); }, -1},
        {"record runs past the window", [](auto& w) { put_block(w, FSEG - 0x30, 0x20, 0xB2); }, -1},
        {"record ends exactly at the window's end", [](auto& w) { put_block(w, FSEG - 0x31, 0x20, 0xB2); },
         FSEG - 0x11},
        {"passed over, the next candidate taken",
         [](auto& w) {
             put_block(w, 0xFF00, 0xFF, 0xB2);
             put_block(w, 0xFF10, 0x10, 0xB2);
         },
         0xFF20},
    };
    for (const LocateCase& c : cases) {
        std::vector<uint8_t> w(FSEG, 0);  // exactly the window, so a read past it is caught
        c.build(w);
        kova::locate_flash_interface(w.data());
        auto* record = reinterpret_cast<uint8_t*>(kova::command_record());
        if (c.record_at < 0) {
            EXPECT_TRUE(record < w.data() || record >= w.data() + FSEG) << c.name << ": default expected";
        } else {
            EXPECT_EQ(record - w.data(), c.record_at) << c.name;
        }
    }
}

struct NotifyCase {
    const char* name;
    uint8_t code;
    uint32_t handle;
    std::vector<Kind> order;
};

TEST_F(FlashInterface, NotifyOrderPerCode) {
    const NotifyCase cases[] = {
        {"begin: port first", 0x20, 7, {Kind::Port, Kind::Callback}},
        {"prepare: callback first", 0x22, 7, {Kind::Callback, Kind::Port}},
        {"write: callback first", 0x23, 7, {Kind::Callback, Kind::Port}},
        {"end: callback first", 0x24, 7, {Kind::Callback, Kind::Port}},
        {"begin, no handle", 0x20, 0, {Kind::Port}},
        {"end, no handle", 0x24, 0, {Kind::Port}},
    };
    std::vector<uint8_t> w(FSEG, 0);
    put_block(w, 0x800, 0x20, 0xB2);  // the simulated firmware listens on 0xB2
    for (const NotifyCase& c : cases) {
        board->firmware.events.clear();
        kova::locate_flash_interface(w.data());
        kova::command_record()->flash_address = 0xFFE12000;
        kova::notify(c.code, c.handle);
        std::vector<Kind> got;
        for (const auto& e : board->firmware.events) {
            got.push_back(e.kind);
            EXPECT_EQ(e.code, c.code) << c.name;
            if (e.kind == Kind::Callback) {
                EXPECT_EQ(e.handle, c.handle) << c.name;
                EXPECT_EQ(e.record.code, c.code) << c.name << ": the code is stored before the call";
                EXPECT_EQ(e.record.flash_address, 0xFFE12000u)
                    << c.name << ": the record is passed as it stands";
            }
        }
        EXPECT_EQ(got, c.order) << c.name;
        EXPECT_EQ(w[0x820 + 16], c.code) << c.name << ": the code is written in place";
    }
}

TEST_F(FlashInterface, DefaultInterfaceNotifiesPort80) {
    std::vector<uint8_t> w(FSEG, 0);
    put_block(w, 0x800, 0x20, 0x1234);  // a previous call's choice
    kova::locate_flash_interface(w.data());
    w.assign(FSEG, 0);
    kova::locate_flash_interface(w.data());
    kova::notify(0x20, 0);
    kova::notify(0x24, 0);
    EXPECT_EQ(board->bus.writes_to(0x80), (std::vector<uint32_t>{0x20, 0x24}));
    EXPECT_EQ(kova::command_record()->code, 0x24);
    EXPECT_TRUE(std::all_of(w.begin(), w.end(), [](uint8_t b) { return b == 0; })) << "window untouched";
}

}  // namespace
