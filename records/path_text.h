// A path in a JSON record. JSON holds only UTF-8, and a Unix file name may
// be any bytes: a name that is UTF-8 is kept as its text, any other as
// {"bytes": HEX}, so that what is read back names the very same file.
#ifndef KOVA_RECORDS_PATH_TEXT_H
#define KOVA_RECORDS_PATH_TEXT_H

#include <cstring>
#include <nlohmann/json.hpp>
#include <string>

namespace records {

nlohmann::json path_json(const std::string& path);
// False when `j` is neither form.
bool path_from_json(const nlohmann::json& j, std::string& path);

}  // namespace records

#endif
