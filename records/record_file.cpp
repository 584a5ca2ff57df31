#include "record_file.h"

#include <filesystem>

#include "file_read.h"
#include "utf8_path.h"

namespace records {

Status read_record_file(const std::string& path, size_t max_bytes, const char* what, const char* remedy,
                        const std::function<Status(std::string_view)>& parse, bool& exists) {
    std::error_code ec;
    exists =
        std::filesystem::symlink_status(u8::path(path), ec).type() != std::filesystem::file_type::not_found;
    if (!exists) {
        return std::nullopt;
    }
    std::string text;
    Status err = read_text_file(path, max_bytes, what, text);
    if (!err) {
        err = parse(text);
    }
    if (err) {
        return Error{exitcode::USAGE, path + ": damaged (" + err->text + "); kept as it is. " + remedy};
    }
    return std::nullopt;
}

}  // namespace records
