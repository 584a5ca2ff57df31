// The board's devices: EC RAM, the serial flash, SMBus writes and the ACPI
// global lock, each a thin command over one library entry.
#ifndef KOVAFLASH_DEVICE_CMD_H
#define KOVAFLASH_DEVICE_CMD_H

#include <cstdint>
#include <string>

#include "commands.h"

enum class SmbusOp { Byte, Word, Block };

// The host status byte with the name of every bit set.
std::string describe_smbus_status(uint8_t status);

#endif
