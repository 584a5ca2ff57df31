// Result codes and status messages of the update entries. Hosts match the
// messages as text, so they stay exactly as shipped, spelling and trailing
// blanks included.
#ifndef KOVA_UPDATE_RESULT_H
#define KOVA_UPDATE_RESULT_H

#include <stdint.h>

namespace kova {

namespace result {
constexpr uint32_t SUCCESS = 0x00000000;
constexpr uint32_t IMAGE_INTEGRITY = 0x80000000;  // boot-block sum or module chain
constexpr uint32_t PLATFORM_TAG = 0x80000001;     // installed firmware is not this platform's
constexpr uint32_t BOARD_MODEL = 0x80000002;
constexpr uint32_t SECOND_STRING = 0x80000003;
constexpr uint32_t VENDOR = 0x80000004;
constexpr uint32_t REVISION = 0x80000005;      // installed revision above what this library updates
constexpr uint32_t NO_BOOT_INFO = 0x80000010;  // no "$BOOTSI$" in the top window
constexpr uint32_t DRIVER_SHELL = 0x80000020;  // a window or the transfer buffer was not granted
constexpr uint32_t FLASH_WRITE = 0x80000030;   // a block would not take, or the firmware misbehaved
}  // namespace result

namespace message {
constexpr const char INTEGRITY[] = "Image integrity check failed.";
constexpr const char DRIVER_SHELL[] = "Driver shell error.";
constexpr const char INVALID_IMAGE[] = "Invalid image. ";
constexpr const char OUTDATED[] = "Image outdated. ";
constexpr const char FLASH_WRITE[] = "Flash write failed.";
constexpr const char UPDATE_DONE[] = "BIOS update successfully completed. ";
constexpr const char CHECK_DONE[] = "Image validation sucessfully completed. ";
}  // namespace message

}  // namespace kova

#endif
