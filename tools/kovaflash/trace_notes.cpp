#include "trace_notes.h"

#include <cstdio>

#include "signing.h"

namespace {

KovaApi real;
void(KOVA_CALL* tell)(const char*) = nullptr;

std::string hex32(uint32_t v) {
    char s[16];
    std::snprintf(s, sizeof s, "0x%08X", unsigned(v));
    return s;
}

// The counter goes with every call: a replay starts each from it.
void call(const std::string& entry, const std::string& args) {
    tell(("call " + entry + args + " count=" + std::to_string(*real.block_count)).c_str());
}

uint32_t returned(uint32_t result) {
    std::string line = "return " + hex32(result) + " count=" + std::to_string(*real.block_count) +
                       " message=" + std::string(real.message);
    tell(line.c_str());
    return result;
}

std::string image_args(const void* image, uint32_t handle, uint32_t flags) {
    std::string sha = "none";
    if (image) {
        sigfile::Hash h = signing::sha256(static_cast<const uint8_t*>(image), *real.flash_size);
        sha.clear();
        for (uint8_t b : h) {
            char two[3];
            std::snprintf(two, sizeof two, "%02x", b);
            sha += two;
        }
    }
    return " image-sha256=" + sha + " handle=" + std::to_string(handle) + " flags=" + std::to_string(flags);
}

uint32_t KOVA_CALL update(const void* image, uint32_t handle, uint32_t flags) {
    call("KOVA_update_bios_firmware", image_args(image, handle, flags));
    return returned(real.update_bios_firmware(image, handle, flags));
}
uint32_t KOVA_CALL check(const void* image, uint32_t handle, uint32_t flags) {
    call("KOVA_check_bios_image", image_args(image, handle, flags));
    return returned(real.check_bios_image(image, handle, flags));
}
uint32_t KOVA_CALL get_ec(uint32_t index) {
    call("KOVA_get_ec_ram", " index=" + std::to_string(index));
    return returned(real.get_ec_ram(index));
}
void KOVA_CALL set_ec(uint32_t index, uint32_t value) {
    call("KOVA_set_ec_ram", " index=" + std::to_string(index) + " value=" + std::to_string(value));
    real.set_ec_ram(index, value);
    returned(0);
}
uint32_t KOVA_CALL flash_byte(uint32_t address) {
    call("KOVA_read_flash_byte", " address=" + std::to_string(address));
    return returned(real.read_flash_byte(address));
}
std::string smbus_args(uint32_t slave, uint32_t command, uint32_t value) {
    return " slave=" + std::to_string(slave) + " command=" + std::to_string(command) +
           " value=" + std::to_string(value);
}
uint32_t KOVA_CALL smbus_byte(uint32_t slave, uint32_t command, uint32_t value) {
    call("KOVA_smbus_write_byte", smbus_args(slave, command, value));
    return returned(real.smbus_write_byte(slave, command, value));
}
uint32_t KOVA_CALL smbus_word(uint32_t slave, uint32_t command, uint32_t value) {
    call("KOVA_smbus_write_word", smbus_args(slave, command, value));
    return returned(real.smbus_write_word(slave, command, value));
}
uint32_t KOVA_CALL smbus_block(uint32_t slave, uint32_t command, uint32_t value) {
    call("KOVA_smbus_write_block", smbus_args(slave, command, value));
    return returned(real.smbus_write_block(slave, command, value));
}
void KOVA_CALL lock() {
    call("ACPI_require_global_lock", "");
    real.acquire_global_lock();
    returned(0);
}
void KOVA_CALL unlock() {
    call("ACPI_release_global_lock", "");
    real.release_global_lock();
    returned(0);
}

}  // namespace

void add_trace_notes(KovaApi& api, void(KOVA_CALL* note)(const char*)) {
    real = api;
    tell = note;
    api.update_bios_firmware = update;
    api.check_bios_image = check;
    api.get_ec_ram = get_ec;
    api.set_ec_ram = set_ec;
    api.read_flash_byte = flash_byte;
    api.smbus_write_byte = smbus_byte;
    api.smbus_write_word = smbus_word;
    api.smbus_write_block = smbus_block;
    api.acquire_global_lock = lock;
    api.release_global_lock = unlock;
}
