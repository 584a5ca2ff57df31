/*
 * What an MSVC-style build of a host makes of kova.h: compiled by clang
 * for i686-pc-windows-msvc and linked by lld-link against KOVA.lib, with
 * no C runtime (none is on this machine), so only the imports are tested.
 */
#include "kova.h"

int __stdcall host_entry(void) {
    kova_u32 code = KOVA_check_bios_image(0, 1, 0);
    KOVA_set_ec_ram(0x40, KOVA_get_ec_ram(0x40));
    ACPI_require_global_lock();
    ACPI_release_global_lock();
    return (int)(code + (kova_u32)KOVA_block_count + (kova_u32)KOVA_mb[0] + KOVA_flash_size);
}
