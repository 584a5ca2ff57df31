// Fuzzes the firmware's flash interface: the input's payload lands in the
// F-segment of a simulated board (the first two bytes give where), so it
// decides the "$QRF" block, the record's place and the notification port.
// A whole update then runs against the simulator, whose poisoning of
// unmapped memory is active. Whatever the F-segment says, the update either
// reports success with the flash equal to the image, or reports the write
// failure; nothing stays mapped.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <set>
#include <vector>

#include "board.h"
#include "builder.h"
#include "kova.h"

namespace {

constexpr size_t POSITION_BYTES = 2;
constexpr uint32_t HANDLE = 1;
constexpr uint32_t KEPT = 0x1E0000, SEG = 0x10000;
constexpr uint32_t CHANGED_BLOCK = 0x80000;
constexpr uint32_t BLOCK = 0x1000;
constexpr uint32_t NEAR_HEADER = 0x40;

struct State {
    std::vector<uint8_t> image;  // what the update writes
    std::unique_ptr<sim::Board> board;
    std::vector<uint8_t> block;  // one flash block, read back
};

// An image whose copy areas already hold what passes a and c copy there,
// so a run costs one block write, not sixty-five. The changed block lies
// past the modules.
State& state() {
    static State s = [] {
        State st;
        // The ROM header near the start: the validation's search for it is
        // then short, and the input's time goes to the flash interface.
        // Its modules all lie in the first 64 KiB, which the copy areas
        // below duplicate.
        kimage::ImageOptions o;
        o.header_offset = NEAR_HEADER;
        o.module_sizes = {0x400, 0x200, 0x800};
        st.image = kimage::make_image(o).bytes;
        std::copy_n(st.image.begin() + 0x1F0000, SEG, st.image.begin() + 0x30000);
        std::copy_n(st.image.begin(), SEG, st.image.begin() + 0x10000);
        std::vector<uint8_t> installed = st.image;  // the flash before the update: one block differs
        installed[CHANGED_BLOCK + 0x10] ^= 0xFF;
        st.board = std::make_unique<sim::Board>();
        st.board->memory.write(sim::phys::FLASH_BASE, installed.data(), installed.size());
        st.board->memory.checkpoint();
        st.block.resize(BLOCK);
        return st;
    }();
    return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < POSITION_BYTES) {
        return 0;
    }
    State& s = state();
    // One board for the whole run; after each input the pages it changed
    // go back to the checkpoint.
    sim::Board* board = s.board.get();
    sim::install(board);
    board->window.regs.fill(0);
    board->clear_logs();
    uint32_t at = uint32_t(data[0] | data[1] << 8);
    size_t n = std::min<size_t>(size - POSITION_BYTES, sim::phys::FSEG_SIZE - at);
    board->memory.write(sim::phys::FSEG_BASE + at, data + POSITION_BYTES, n);

    uint32_t code = KOVA_update_bios_firmware(s.image.data(), HANDLE, 0);
    // Only the firmware changes the flash, through the simulator, which
    // marks the pages: those and the one block that differed decide
    // whether the flash now holds the image.
    std::set<uint32_t> blocks{CHANGED_BLOCK};
    for (uint32_t page : board->memory.dirty_pages(sim::phys::FLASH_BASE, sim::phys::FLASH_SIZE)) {
        blocks.insert((page - sim::phys::FLASH_BASE) & ~(BLOCK - 1));
    }
    bool done = true;
    for (uint32_t offset : blocks) {
        board->memory.read(sim::phys::FLASH_BASE + offset, s.block.data(), BLOCK);
        bool kept = offset >= KEPT && offset < KEPT + SEG;
        done = done && (kept || std::equal(s.block.begin(), s.block.end(), s.image.begin() + offset));
    }
    board->memory.restore_checkpoint();
    if ((code != 0 && code != 0x80000030) || (code == 0 && !done)) {
        __builtin_trap();  // a failure reported as success, or an unexpected code
    }
    if (board->memory.live_mappings() != 0 || board->memory.live_allocations() != 0 ||
        board->memory.bad_releases() != 0) {
        __builtin_trap();
    }
    return 0;
}
