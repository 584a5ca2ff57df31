// Confirms that the firmware installed in the flash part belongs to this
// board before anything is written: the platform tag at the top of the
// address space and the boot-info block in the top 64 KiB of the flash, read
// through the top window.
#ifndef KOVA_UPDATE_IDENTITY_H
#define KOVA_UPDATE_IDENTITY_H

#include <stdint.h>

namespace kova {

namespace identity {
// The top window stops one byte short of physical 0xFFFFFFFF.
constexpr uint32_t TOP_WINDOW_PHYSICAL = 0xFFFF0000;
constexpr uint32_t TOP_WINDOW_LENGTH = 0xFFFF;
constexpr uint32_t PLATFORM_TAG_AT = 0xFFE0;  // physical 0xFFFFFFE0
constexpr const char PLATFORM_TAG[] = "R2318";
constexpr const char BOOT_INFO_SIGNATURE[] = "$BOOTSI$";
constexpr uint32_t BOOT_INFO_REVISION_AT = 10;
constexpr uint32_t BOOT_INFO_STRINGS_AT = 13;
constexpr uint8_t BOOT_INFO_REVISION_MAX = 1;
// The board this library is built for; separate from the exported display
// copies, which a host may overwrite.
constexpr const char BOARD_MODEL[] = "K5R";
constexpr const char SECOND_STRING[] = "";
constexpr const char VENDOR[] = "ZALT";
}  // namespace identity

// Checks 1 to 5: platform tag, boot-info block, model, second string,
// vendor. Returns 0 or the first failing check's result code; on success
// *boot_info holds the window offset of "$BOOTSI$". Reads only the
// TOP_WINDOW_LENGTH bytes of `window`.
uint32_t check_board_identity(const uint8_t* window, uint32_t* boot_info);
// Check 6: the installed revision byte is at most 1. Returns 0 or the code.
uint32_t check_revision(const uint8_t* window, uint32_t boot_info);

}  // namespace kova

#endif
