#include "native_library.h"

#include <cstring>

#include "kova.h"

uint32_t NativeLibrary::call(const std::string& entry, const std::vector<uint32_t>& a, const uint8_t* image) {
    if (entry == "KOVA_update_bios_firmware") {
        return KOVA_update_bios_firmware(image, a[0], a[1]);
    }
    if (entry == "KOVA_check_bios_image") {
        return KOVA_check_bios_image(image, a[0], a[1]);
    }
    if (entry == "KOVA_get_ec_ram") {
        return KOVA_get_ec_ram(a[0]);
    }
    if (entry == "KOVA_set_ec_ram") {
        KOVA_set_ec_ram(a[0], a[1]);
        return 0;
    }
    if (entry == "KOVA_read_flash_byte") {
        return KOVA_read_flash_byte(a[0]);
    }
    if (entry == "KOVA_smbus_write_byte") {
        return KOVA_smbus_write_byte(a[0], a[1], a[2]);
    }
    if (entry == "KOVA_smbus_write_word") {
        return KOVA_smbus_write_word(a[0], a[1], a[2]);
    }
    if (entry == "KOVA_smbus_write_block") {
        return KOVA_smbus_write_block(a[0], a[1], a[2]);
    }
    if (entry == "ACPI_require_global_lock") {
        ACPI_require_global_lock();
        return 0;
    }
    if (entry == "ACPI_release_global_lock") {
        ACPI_release_global_lock();
        return 0;
    }
    return 0;
}

int32_t NativeLibrary::block_count() { return KOVA_block_count; }
void NativeLibrary::set_block_count(int32_t count) { KOVA_block_count = count; }
std::string NativeLibrary::message() {
    return std::string(KOVA_message, strnlen(KOVA_message, sizeof KOVA_message));
}
