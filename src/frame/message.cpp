#include "frame/message.h"

#include "frame/bytes.h"
#include "kova.h"

namespace kova {

void set_message(const char* text) {
    uint32_t n = string_length(text) + 1;
    // Every text the library stores is one of its fixed messages, all far
    // shorter than the buffer; the bound keeps a longer one from running over.
    if (n > sizeof(KOVA_message)) {
        n = sizeof(KOVA_message) - 1;
        KOVA_message[n] = '\0';
    }
    copy_bytes(KOVA_message, text, n);
}

}  // namespace kova
