#include "image_file.h"

#include "atomic_file.h"
#include "file_read.h"
#include "utf8_path.h"

#include <filesystem>

namespace {

Error size_error(const std::string& path, size_t got) {
    std::string size = got > IMAGE_FILE_BYTES ? "more than " + std::to_string(IMAGE_FILE_BYTES) + " bytes"
                                              : std::to_string(got) + " bytes";
    return Error{exitcode::USAGE, path + ": " + size + ", an image is exactly " +
                                      std::to_string(IMAGE_FILE_BYTES) + " (2 MiB)"};
}

}  // namespace

Status read_image_file(const std::string& path, std::vector<uint8_t>& out) {
    if (path.empty()) {
        return Error{exitcode::USAGE, "'': no file named"};
    }
    // One byte more than an image: enough to tell a longer file, and never
    // more than that, whatever the file claims to be.
    if (Status err = read_bounded(path, IMAGE_FILE_BYTES + 1, Links::Follow, "an image file", out)) {
        return err;
    }
    if (out.size() != IMAGE_FILE_BYTES) {
        return size_error(path, out.size());
    }
    return std::nullopt;
}

Status read_small_file(const std::string& path, size_t max_bytes, std::string& out) {
    return read_text_file(path, max_bytes, "a key or signature file", out);
}

Status write_image_file(const std::string& path, const std::vector<uint8_t>& bytes, Existing existing) {
    Status err = write_file_atomic(path, bytes.data(), bytes.size(), existing);
    if (err && err->code == exitcode::USAGE && existing == Existing::Keep) {
        err->text += " (--replace replaces it)";
    }
    return err;
}

Status refuse_input_as_output(const std::string& output, const std::vector<std::string>& inputs) {
    namespace fs = std::filesystem;
    for (const std::string& input : inputs) {
        std::error_code e1, e2, e3;
        const fs::path out = u8::path(output), in = u8::path(input);
        bool same = !input.empty() && ((fs::exists(out, e1) && fs::equivalent(out, in, e2)) ||
                                       fs::weakly_canonical(out, e1) == fs::weakly_canonical(in, e3));
        if (same && !e1 && !e3) {
            return Error{exitcode::USAGE,
                         output + ": is " + input + ", which this command reads; never written over"};
        }
    }
    return std::nullopt;
}
