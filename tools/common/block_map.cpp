#include "block_map.h"

#include <cstdio>
#include <cstring>

namespace {
constexpr uint32_t BLOCKS_PER_LINE = 64;
}

std::vector<bool> differing_blocks(const uint8_t* a, const uint8_t* b) {
    std::vector<bool> out(MAP_BLOCKS);
    for (uint32_t i = 0; i < MAP_BLOCKS; ++i) {
        out[i] = std::memcmp(a + i * MAP_BLOCK_BYTES, b + i * MAP_BLOCK_BYTES, MAP_BLOCK_BYTES) != 0;
    }
    return out;
}

std::string draw_block_map(const std::vector<bool>& blocks, char mark) {
    std::string out;
    for (uint32_t i = 0; i < blocks.size(); ++i) {
        if (i % BLOCKS_PER_LINE == 0) {
            char head[16];
            std::snprintf(head, sizeof head, "0x%06X  ", i * MAP_BLOCK_BYTES);
            out += head;
        }
        out += blocks[i] ? mark : '.';
        if (i % BLOCKS_PER_LINE == BLOCKS_PER_LINE - 1) {
            out += '\n';
        }
    }
    return out;
}
