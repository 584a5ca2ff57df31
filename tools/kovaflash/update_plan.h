// What an update will do, worked out on the host before it is asked for:
// the distinct blocks that differ, and the block writes the library's walk
// makes, pass by pass, the copies it places and later restores included.
#ifndef KOVAFLASH_UPDATE_PLAN_H
#define KOVAFLASH_UPDATE_PLAN_H

#include <cstdint>
#include <vector>

struct UpdatePlan {
    int32_t block_writes = 0;
    bool first_copy_pass = true;  // pass c runs (the board register does not skip it)
};

// `counted` is the library's dry-run count, which tells whether the board
// skips pass c: the walk without writes that gives the same count is the
// one the board makes.
UpdatePlan plan_update(const std::vector<uint8_t>& flash, const std::vector<uint8_t>& image, int32_t counted);

#endif
