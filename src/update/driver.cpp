// The update and check entries: validate the image, acquire the windows and
// the transfer buffer, find the firmware's flash interface, confirm the
// installed firmware is this board's, then walk the flash regions in their
// fixed order. Each phase stores its message first, so after a failure
// KOVA_message names the phase and the result code names the check.
#include "flash_map.h"
#include "frame/bytes.h"
#include "frame/indexed.h"
#include "frame/message.h"
#include "kova.h"
#include "update/block_writer.h"
#include "update/flash_interface.h"
#include "update/identity.h"
#include "update/image.h"
#include "update/resources.h"
#include "update/result.h"

namespace kova {

namespace {

// Bit 7 of this board register set means the 64 KiB at flash offset
// 0x10000 are not to receive a copy of the image's first 64 KiB.
constexpr uint16_t REG_BOOT_COPY = 0xFEA1;
constexpr uint8_t REG_BOOT_COPY_SKIP = 0x80;

using region_pass = flashmap::RegionPass;
// Passes a to e, in their order (the flash map says why it matters).
constexpr const region_pass (&REGION_PASSES)[5] = flashmap::REGION_PASSES;

// Where pass a leaves its copy of the new boot block, and where the image
// holds it; an interrupted update is recognised by the two being equal.
constexpr uint32_t BOOT_COPY_FLASH_OFFSET = REGION_PASSES[0].flash_offset;
constexpr uint32_t BOOT_BLOCK_IMAGE_OFFSET = REGION_PASSES[0].image_offset;
constexpr uint32_t BOOT_BLOCK_LENGTH = REGION_PASSES[0].length;

// Checks 1 to 6 of the installed identity on a window laid out as the top
// window. The message names the phase of the first failing check.
uint32_t check_installed(const uint8_t* window) {
    uint32_t boot_info = 0;
    uint32_t code = check_board_identity(window, &boot_info);
    if (code != result::SUCCESS) {
        return code;
    }
    set_message(message::OUTDATED);
    return check_revision(window, boot_info);
}

// An update of this very image was cut off after pass a: the copy at flash
// offset 0x30000 is, byte for byte, the image's boot block, and it passes
// the identity checks the top 64 KiB, half rewritten, no longer pass.
// Nothing else is taken as proof.
bool resuming_this_image(const uint8_t* flash, const uint8_t* image) {
    const uint8_t* copy = flash + BOOT_COPY_FLASH_OFFSET;
    if (block_compare(copy, image + BOOT_BLOCK_IMAGE_OFFSET, BOOT_BLOCK_LENGTH) != 0) {
        return false;
    }
    uint32_t boot_info = 0;
    return check_board_identity(copy, &boot_info) == result::SUCCESS &&
           check_revision(copy, boot_info) == result::SUCCESS;
}

// Once the firmware has been told CODE_BEGIN, every walk ends with CODE_END,
// whether the regions all took or one failed.
uint32_t walk_regions(const uint8_t* image, uint32_t handle) {
    for (const region_pass& pass : REGION_PASSES) {
        if (pass.only_without_skip_bit && (indexed_reg_read(REG_BOOT_COPY) & REG_BOOT_COPY_SKIP) != 0) {
            continue;
        }
        if (write_region(pass.flash_offset, image + pass.image_offset, pass.length, handle) !=
            writer::REGION_DONE) {
            set_message(message::FLASH_WRITE);
            return result::FLASH_WRITE;
        }
    }
    return result::SUCCESS;
}

uint32_t run_update(const uint8_t* image, uint32_t handle) {
    set_message(message::INTEGRITY);
    if (image == nullptr || boot_block_sum(image) != 0 || verify_module_chain(image) != 1) {
        return result::IMAGE_INTEGRITY;
    }

    set_message(message::DRIVER_SHELL);
    if (!acquire_update_resources()) {
        return result::DRIVER_SHELL;
    }
    const update_resources& r = held_resources();
    locate_flash_interface(r.fseg_window.linear);

    set_message(message::INVALID_IMAGE);
    uint32_t code = check_installed(r.top_window.linear);
    if (code != result::SUCCESS) {
        // Power lost while pass b rewrote the boot block: the update that
        // was interrupted is finished instead of refused for good.
        if (!resuming_this_image(r.flash_window.linear, image)) {
            return code;
        }
        set_message(message::OUTDATED);
    }

    notify(fwif::CODE_BEGIN, handle);
    command_record()->transfer_address = r.transfer_physical;
    code = walk_regions(image, handle);
    notify(fwif::CODE_END, handle);
    if (code != result::SUCCESS) {
        return code;
    }
    set_message(message::UPDATE_DONE);
    return result::SUCCESS;
}

}  // namespace

}  // namespace kova

using namespace kova;

extern "C" uint32_t KOVA_CALL KOVA_update_bios_firmware(const void* image, uint32_t handle, uint32_t flags) {
    store_mode_flags(flags);
    uint32_t code = run_update(static_cast<const uint8_t*>(image), handle);
    release_update_resources();
    return code;
}

extern "C" uint32_t KOVA_CALL KOVA_check_bios_image(const void* image, uint32_t handle, uint32_t flags) {
    KOVA_block_count = 0;
    uint32_t code = KOVA_update_bios_firmware(image, handle, flags | writer::MODE_VERIFY_ONLY);
    if (code == result::SUCCESS) {
        set_message(message::CHECK_DONE);
    }
    return code;
}
