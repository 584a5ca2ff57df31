// kovaflash's board-device commands: serial-flash dump, SMBus writes and the
// ACPI global lock.
#ifndef KOVAFLASH_DEVICE_CMD_H
#define KOVAFLASH_DEVICE_CMD_H

#include <cstdint>
#include <string>

#include "api.h"

enum class SmbusOp { Byte, Word, Block };

// Each returns the process exit status.
int run_flash_read(const KovaApi& api, uint32_t address, uint32_t count);
int run_smbus_write(const KovaApi& api, SmbusOp op, uint32_t slave, uint32_t command, uint32_t value);
int run_acpi_lock(const KovaApi& api);

// "0x02 (INTR: done)" style text for a host status byte.
std::string describe_smbus_status(uint8_t status);

#endif
