#include "common/modMain.h"

#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

bool EnsureFolderPath(const std::string& path, std::string* error) {
    if (path.empty()) {
        if (error) *error = "no folder given";
        return false;
    }
    std::error_code ec;
    fs::create_directories(fs::path(path), ec);
    if (!ec && fs::is_directory(fs::path(path), ec)) return true;
    if (error) *error = ec ? ec.message() : "not a folder";
    return false;
}
