// The library's own byte routines: it links no runtime library.
#ifndef KOVA_FRAME_BYTES_H
#define KOVA_FRAME_BYTES_H

#include <stdint.h>

namespace kova {

// Number of bytes before the first NUL of `s`.
uint32_t string_length(const char* s);
// Copies `n` bytes forward from `src` to `dst`; the areas never overlap.
void copy_bytes(void* dst, const void* src, uint32_t n);

}  // namespace kova

#endif
