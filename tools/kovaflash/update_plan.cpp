#include "update_plan.h"

#include <algorithm>

#include "flash_map.h"

namespace {

bool block_differs(const std::vector<uint8_t>& flash, uint32_t flash_at, const std::vector<uint8_t>& image,
                   uint32_t image_at) {
    return !std::equal(flash.begin() + flash_at, flash.begin() + flash_at + flashmap::BLOCK_SIZE,
                       image.begin() + image_at);
}

// The walk: with `write`, each differing block is made the image's before
// the next is compared, as the firmware does. Returns the blocks it found
// differing.
int32_t walk(std::vector<uint8_t> flash, const std::vector<uint8_t>& image, bool with_first_copy,
             bool write) {
    int32_t n = 0;
    for (const flashmap::RegionPass& pass : flashmap::REGION_PASSES) {
        if (pass.only_without_skip_bit && !with_first_copy) {
            continue;
        }
        for (uint32_t off = 0; off < pass.length; off += flashmap::BLOCK_SIZE) {
            if (block_differs(flash, pass.flash_offset + off, image, pass.image_offset + off)) {
                ++n;
                if (write) {
                    std::copy_n(image.begin() + pass.image_offset + off, flashmap::BLOCK_SIZE,
                                flash.begin() + pass.flash_offset + off);
                }
            }
        }
    }
    return n;
}

}  // namespace

UpdatePlan plan_update(const std::vector<uint8_t>& flash, const std::vector<uint8_t>& image,
                       int32_t counted) {
    UpdatePlan p;
    p.first_copy_pass =
        walk(flash, image, true, false) == counted || walk(flash, image, false, false) != counted;
    p.block_writes = walk(flash, image, p.first_copy_pass, true);
    return p;
}
