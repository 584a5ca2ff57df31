#include "frame/bytes.h"

namespace kova {

uint32_t string_length(const char* s) {
    uint32_t n = 0;
    while (s[n] != '\0') {
        ++n;
    }
    return n;
}

void copy_bytes(void* dst, const void* src, uint32_t n) {
    // volatile stores keep the compiler from turning the loop into a memcpy
    // call, which a library without a runtime cannot link.
    volatile uint8_t* d = static_cast<volatile uint8_t*>(dst);
    const uint8_t* s = static_cast<const uint8_t*>(src);
    for (uint32_t i = 0; i < n; ++i) {
        d[i] = s[i];
    }
}

}  // namespace kova
