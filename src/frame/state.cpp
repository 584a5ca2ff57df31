// Exported state. The host reads these by address, in this order, straight
// from the library's data; the identity strings are display copies only (the
// checks use constants of their own). Every byte after a terminator is zero.
#include "flash_map.h"
#include "kova.h"

extern "C" {
char KOVA_mb[4] = "K5R";
char KOVA_customer[8] = "ZALT";
char KOVA_major_version[4] = "05";
char KOVA_minor_version[4] = "01";
char KOVA_date[12] = "03/24/2009";
uint32_t KOVA_flash_size = flashmap::FLASH_SIZE;
char KOVA_message[128] = {};
uint32_t KOVA_caller_id = 0;
int32_t KOVA_block_count = 0;
}
