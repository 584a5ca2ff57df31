// The 512-block map of a 2 MiB flash image: one character per 4 KiB block,
// 64 blocks to a line, each line led by its offset.
#ifndef KOVA_TOOLS_BLOCK_MAP_H
#define KOVA_TOOLS_BLOCK_MAP_H

#include <cstdint>
#include <string>
#include <vector>
#include "flash_map.h"

constexpr uint32_t MAP_IMAGE_BYTES = flashmap::FLASH_SIZE;
constexpr uint32_t MAP_BLOCK_BYTES = flashmap::BLOCK_SIZE;
constexpr uint32_t MAP_BLOCKS = MAP_IMAGE_BYTES / MAP_BLOCK_BYTES;

// Blocks where the two 2 MiB buffers differ.
std::vector<bool> differing_blocks(const uint8_t* a, const uint8_t* b);
// The map drawn with `mark` for a set block and '.' for the others, ending
// in a newline.
std::string draw_block_map(const std::vector<bool>& blocks, char mark = 'X');

#endif
