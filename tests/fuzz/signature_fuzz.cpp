// The signature file parser on any bytes (it reads files a person or an
// attacker wrote): it never reads outside its input, and what it accepts is
// exactly what format() writes back, CRLF line ends read as LF. Anything
// else it takes would be a second spelling of a signature.
#include <cstddef>
#include <cstdint>
#include <string>

#include "signature_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    sigfile::SignatureFile parsed;
    if (sigfile::parse(text, parsed)) {
        return 0;
    }
    std::string lf;
    for (size_t i = 0; i < text.size(); ++i) {
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) {
            lf += text[i];
        }
    }
    if (sigfile::format(parsed) != lf) {
        __builtin_trap();
    }
    return 0;
}
