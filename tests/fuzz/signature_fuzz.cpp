// The signature file parsers on any bytes (they read files a person or an
// attacker wrote): an image's and a kit's list's. Neither reads outside its
// input, what each accepts is exactly what its format() writes back, CRLF
// line ends read as LF (anything else it took would be a second spelling
// of a signature), and no input is both: neither kind stands for the other.
#include <cstddef>
#include <cstdint>
#include <string>

#include "kit_signature.h"
#include "signature_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    std::string lf;
    for (size_t i = 0; i < text.size(); ++i) {
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) {
            lf += text[i];
        }
    }
    sigfile::SignatureFile image;
    kitsig::KitSignature kit;
    const bool is_image = !sigfile::parse(text, image), is_kit = !kitsig::parse(text, kit);
    if ((is_image && sigfile::format(image) != lf) || (is_kit && kitsig::format(kit) != lf) ||
        (is_image && is_kit)) {
        __builtin_trap();
    }
    return 0;
}
