// Exported state. The host reads these by address, in this order, straight
// from the library's data; the identity strings are display copies only (the
// checks use constants of their own). Every byte after a terminator is zero.
#include "flash_map.h"
#include "kova.h"

namespace {
// The version strings are the header's numbers, two decimal digits each.
constexpr char two_digits_high(int n) { return static_cast<char>('0' + n / 10 % 10); }
constexpr char two_digits_low(int n) { return static_cast<char>('0' + n % 10); }
static_assert(KOVA_VERSION_STRING[0] == two_digits_high(KOVA_VERSION_MAJOR) &&
                  KOVA_VERSION_STRING[1] == two_digits_low(KOVA_VERSION_MAJOR) &&
                  KOVA_VERSION_STRING[2] == '.' &&
                  KOVA_VERSION_STRING[3] == two_digits_high(KOVA_VERSION_MINOR) &&
                  KOVA_VERSION_STRING[4] == two_digits_low(KOVA_VERSION_MINOR) && KOVA_VERSION_STRING[5] == 0,
              "KOVA_VERSION_STRING spells the version numbers");
}  // namespace

extern "C" {
char KOVA_mb[4] = "K5R";
char KOVA_customer[8] = "ZALT";
char KOVA_major_version[4] = {two_digits_high(KOVA_VERSION_MAJOR), two_digits_low(KOVA_VERSION_MAJOR)};
char KOVA_minor_version[4] = {two_digits_high(KOVA_VERSION_MINOR), two_digits_low(KOVA_VERSION_MINOR)};
char KOVA_date[12] = "03/24/2009";
uint32_t KOVA_flash_size = flashmap::FLASH_SIZE;
char KOVA_message[128] = {};
uint32_t KOVA_caller_id = 0;
int32_t KOVA_block_count = 0;
}
